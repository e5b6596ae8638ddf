#include "tvlib/files/name_registry.h"

#include <map>
#include <new>

#include "tvlib/threads/sync.h"
#include "tvlib/win.h"

namespace {

using NameMap = std::map<std::string, const void*>;

struct RegistryState {
  RegistryState() { ::InitializeCriticalSection(&lock); }
  // No destructor: a static destructor elsewhere may still use the registry.
  CRITICAL_SECTION lock;
  NameMap* map = nullptr;  // exists while uses > 0
  int uses = 0;
};

RegistryState& State() {
  static RegistryState* state = new RegistryState();
  return *state;
}

// Creates the lock during static initialisation, before any thread can race
// for the first use.
const bool g_stateReady = (State(), true);

CNameRegistry g_registry;

}  // namespace

CNameRegistry* GetNameRegistry() {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.uses == 0) s.map = new (std::nothrow) NameMap();
  ++s.uses;
  return &g_registry;
}

void ReleaseNameRegistry() {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.uses == 0) return;
  if (--s.uses == 0) {
    delete s.map;
    s.map = nullptr;
  }
}

bool CNameRegistry::Register(const std::string& name, const void* owner) {
  if (name.empty() || owner == nullptr) return false;
  RegistryState& s = State();
  // Look-up and insertion under one hold: two callers never both get a name.
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return false;
  try {
    return s.map->emplace(name, owner).second;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool CNameRegistry::Unregister(const std::string& name, const void* owner) {
  if (name.empty() || owner == nullptr) return false;
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return false;
  auto it = s.map->find(name);
  if (it == s.map->end() || it->second != owner) return false;
  s.map->erase(it);
  return true;
}

bool CNameRegistry::IsRegistered(const std::string& name) {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  return s.map != nullptr && s.map->count(name) != 0;
}

bool CNameRegistry::IsRegisteredBy(const std::string& name, const void* owner) {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return false;
  auto it = s.map->find(name);
  return it != s.map->end() && it->second == owner;
}

bool CNameRegistry::GetNames(const void* owner, std::vector<std::string>& names) {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return true;
  for (const auto& entry : *s.map)
    if (entry.second == owner) names.push_back(entry.first);
  return true;
}

bool CNameRegistry::UnregisterAll(const void* owner) {
  if (owner == nullptr) return false;
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return true;
  for (auto it = s.map->begin(); it != s.map->end();) it = it->second == owner ? s.map->erase(it) : ++it;
  return true;
}

bool CNameRegistry::UnregisterAllExcept(const void* owner) {
  RegistryState& s = State();
  CCriticalSectionLocker guard(s.lock);
  if (s.map == nullptr) return true;
  for (auto it = s.map->begin(); it != s.map->end();) it = it->second != owner ? s.map->erase(it) : ++it;
  return true;
}
