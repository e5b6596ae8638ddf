#include "tvlib/service/impersonation.h"

#include <atomic>
#include <cstdlib>

#include "service_account_internal.h"
#include "tvlib/log/log.h"
#include "tvlib/scoped_handle.h"

namespace {

// No lock: two first callers compute the same answer. The answer is stored
// before computed (release/acquire), so nobody reads computed with a stale answer.
std::atomic<bool> g_computed(false);
std::atomic<bool> g_answer(false);

class ScopedSid {
 public:
  explicit ScopedSid(DWORD rid) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!::AllocateAndInitializeSid(&nt, 1, rid, 0, 0, 0, 0, 0, 0, 0, &m_sid)) m_sid = nullptr;
  }
  ~ScopedSid() {
    if (m_sid != nullptr) ::FreeSid(m_sid);
  }
  ScopedSid(const ScopedSid&) = delete;
  ScopedSid& operator=(const ScopedSid&) = delete;
  PSID Get() const { return m_sid; }

 private:
  PSID m_sid = nullptr;
};

bool ComputeServiceAccount() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  ScopedKernelHandle token(raw);

  // A first guess that fits a small token; the system tells the size it needs.
  union {
    TOKEN_GROUPS groups;
    unsigned char bytes[50];
  } first;
  DWORD needed = 0;
  TOKEN_GROUPS* groups = &first.groups;
  void* grown = nullptr;
  if (!::GetTokenInformation(token.Get(), TokenGroups, &first, sizeof(first.bytes), &needed)) {
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
    grown = std::malloc(needed);
    if (grown == nullptr) return false;
    if (!::GetTokenInformation(token.Get(), TokenGroups, grown, needed, &needed)) {
      std::free(grown);
      return false;
    }
    groups = static_cast<TOKEN_GROUPS*>(grown);
  }
  bool answer = service_account::GroupsMeanService(groups->Groups, groups->GroupCount);
  std::free(grown);
  return answer;
}

}  // namespace

namespace service_account {

bool GroupsMeanService(const SID_AND_ATTRIBUTES* groups, DWORD count) {
  ScopedSid interactive(SECURITY_INTERACTIVE_RID);
  ScopedSid service(SECURITY_SERVICE_RID);
  ScopedSid system(SECURITY_LOCAL_SYSTEM_RID);
  if (interactive.Get() == nullptr || service.Get() == nullptr || system.Get() == nullptr) return false;
  for (DWORD i = 0; i < count; ++i) {
    PSID sid = groups[i].Sid;
    if (sid == nullptr || !::IsValidSid(sid)) continue;
    if (::EqualSid(sid, interactive.Get())) return false;
    if (::EqualSid(sid, service.Get()) || ::EqualSid(sid, system.Get())) return true;
  }
  // No interactive logon at all: counted as a service.
  return true;
}

Cache GetCache() {
  return {g_computed.load(std::memory_order_acquire), g_answer.load(std::memory_order_acquire)};
}

void SetCache(Cache cache) {
  g_computed.store(false, std::memory_order_release);
  g_answer.store(cache.answer, std::memory_order_release);
  g_computed.store(cache.computed, std::memory_order_release);
}

}  // namespace service_account

bool IsServiceAccount() {
  if (g_computed.load(std::memory_order_acquire)) return g_answer.load(std::memory_order_acquire);
  bool answer = ComputeServiceAccount();
  g_answer.store(answer, std::memory_order_release);
  g_computed.store(true, std::memory_order_release);
  return answer;
}

// ---------------------------------------------------------------- CImpersonation

CImpersonation::CImpersonation() : m_bImpersonating(false), m_hToken(nullptr) {}

CImpersonation::~CImpersonation() { End(); }

void CImpersonation::KeepLastError() { m_strLastError = GetSystemErrorText(::GetLastError()); }

bool CImpersonation::Begin(const char* user, const char* password) {
  // A second Begin would otherwise leak the first token.
  if (m_bImpersonating || m_hToken != nullptr) End();
  if (!IsServiceAccount()) return true;

  HANDLE token = nullptr;
  BOOL logged;
  if (user != nullptr && user[0] != '\0') {
    logged = ::LogonUserA(user, nullptr, password, LOGON32_LOGON_NEW_CREDENTIALS, LOGON32_PROVIDER_WINNT50,
                          &token);
  } else {
    logged = ::LogonUserA("NetworkService", "NT AUTHORITY", nullptr, LOGON32_LOGON_SERVICE,
                          LOGON32_PROVIDER_DEFAULT, &token);
  }
  if (!logged) {
    KeepLastError();
    return false;
  }
  m_hToken = token;
  if (!::ImpersonateLoggedOnUser(m_hToken)) {
    KeepLastError();
    return false;
  }
  m_bImpersonating = true;
  return true;
}

bool CImpersonation::End() {
  if (m_bImpersonating) {
    ::RevertToSelf();
    m_bImpersonating = false;
  }
  if (m_hToken == nullptr) return true;
  HANDLE token = m_hToken;
  m_hToken = nullptr;
  if (!::CloseHandle(token)) {
    KeepLastError();
    return false;
  }
  return true;
}
