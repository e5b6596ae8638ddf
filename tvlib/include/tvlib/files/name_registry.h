// CNameRegistry: a process-wide record of which owner holds which name.
//
// Owners are opaque pointers that identify the holder; they are never
// dereferenced. Names are ordered by their bytes (unsigned) over the common
// length, then the shorter first; no case folding.
//
// Threads: any thread may call anything. One process-wide critical section,
// which exists from static initialisation on and is never deleted, guards the
// use count and every map operation for its whole duration. Owners are not
// told when the registry goes.
//
// Lifetime: GetNameRegistry creates the map on the first use, and the matching
// last ReleaseNameRegistry frees it with every entry. A release without a
// matching get is ignored. A registry used after its last release behaves as
// an empty one that accepts nothing.
#pragma once

#include <string>
#include <vector>

class CNameRegistry {
 public:
  // False for an empty name, a null owner, or a name already held (by anyone,
  // the same owner included).
  bool Register(const std::string& name, const void* owner);
  // True only when the name is held by this owner; it is then removed.
  bool Unregister(const std::string& name, const void* owner);
  bool IsRegistered(const std::string& name);
  bool IsRegisteredBy(const std::string& name, const void* owner);
  // Appends the owner's names in name order; always true.
  bool GetNames(const void* owner, std::vector<std::string>& names);
  // Removes every name of the owner; false only for a null owner.
  bool UnregisterAll(const void* owner);
  // Removes every name not held by the owner; always true.
  bool UnregisterAllExcept(const void* owner);
};

CNameRegistry* GetNameRegistry();
void ReleaseNameRegistry();
