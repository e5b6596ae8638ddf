#include "tvlib/ipc/security_trust.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <vector>

#include "tvlib/log/log.h"
#include "tvlib/service/impersonation.h"
#include "tvlib/service/win_service.h"

const char kTrustedFolderSddl[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

namespace {

// What lets an account plant or change content, or give itself that right.
// For a folder the first two bits are "create files" and "create folders".
// Generic bits count as what they map to: an ACE may keep them unmapped.
const DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                           WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

const char* const kTrustedSids[] = {
    "S-1-5-18",                                                        // SYSTEM
    "S-1-5-32-544",                                                    // Administrators
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

class LocalSid {
 public:
  explicit LocalSid(const char* text) {
    if (!::ConvertStringSidToSidA(text, &m_sid)) m_sid = nullptr;
  }
  ~LocalSid() {
    if (m_sid != nullptr) ::LocalFree(m_sid);
  }
  LocalSid(const LocalSid&) = delete;
  LocalSid& operator=(const LocalSid&) = delete;
  PSID Get() const { return m_sid; }

 private:
  PSID m_sid = nullptr;
};

bool IsTrustedSid(PSID sid) {
  for (const char* text : kTrustedSids) {
    LocalSid trusted(text);
    if (trusted.Get() != nullptr && ::EqualSid(sid, trusted.Get())) return true;
  }
  return false;
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidA(sid, &text)) return "an unreadable SID";
  std::string result = text;
  ::LocalFree(text);
  return result;
}

CTrustDecision Refuse(ETrustVerdict verdict, const std::string& reason) {
  CTrustDecision decision;
  decision.verdict = verdict;
  decision.reason = reason;
  return decision;
}

// The SID of an allowing ACE; null for a kind whose layout is not known here.
PSID AllowedAceSid(const ACE_HEADER* header) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      // The two GUIDs are present only when their flags say so.
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      const BYTE* sid = reinterpret_cast<const BYTE*>(&ace->ObjectType);
      if (ace->Flags & ACE_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      if (ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) sid += sizeof(GUID);
      return const_cast<BYTE*>(sid);
    }
    default: return nullptr;
  }
}

bool IsDenyAce(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

std::string FolderOf(const std::string& fullPath) {
  size_t slash = fullPath.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  // A file directly in a drive's root: the folder is the root itself.
  if (slash == 2 && fullPath[1] == ':') return fullPath.substr(0, 3);
  return fullPath.substr(0, slash);
}

}  // namespace

CTrustDecision DecideTrust(PSID owner, const ACL* dacl) {
  if (owner == nullptr || !::IsValidSid(owner)) return Refuse(eTRUST_OWNER, "has no owner");
  if (!IsTrustedSid(owner)) return Refuse(eTRUST_OWNER, "is owned by " + SidText(owner));
  if (dacl == nullptr) return Refuse(eTRUST_NO_DACL, "has no DACL, so every account may change it");
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(const_cast<ACL*>(dacl), i, &raw))
      return Refuse(eTRUST_UNKNOWN_ACE, FormatString("has an unreadable ACE (%lu)", i));
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    // An inherit-only ACE is only handed down; it grants nothing here.
    if ((header->AceFlags & INHERIT_ONLY_ACE) || IsDenyAce(header->AceType)) continue;
    PSID sid = AllowedAceSid(header);
    if (sid == nullptr || !::IsValidSid(sid))
      return Refuse(eTRUST_UNKNOWN_ACE, FormatString("has an ACE of type %u that is not understood",
                                                     static_cast<unsigned>(header->AceType)));
    // Allowed ACEs of every kind begin with the mask.
    DWORD mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
    if ((mask & kWriteRights) != 0 && !IsTrustedSid(sid))
      return Refuse(eTRUST_WRITABLE,
                    FormatString("grants %s write access (0x%08lX)", SidText(sid).c_str(), mask));
  }
  return CTrustDecision();
}

CTrustDecision DecideTrustOfPath(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                        nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS)
    return Refuse(eTRUST_UNREADABLE,
                  FormatString("has an owner and DACL that cannot be read (error %lu)", error));
  CTrustDecision decision = DecideTrust(owner, dacl);
  ::LocalFree(descriptor);
  return decision;
}

CTrustDecision DecideTrustOfFile(const std::string& path) {
  std::string full = path;
  std::vector<char> buffer(32768);
  DWORD length = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length > 0 && length < buffer.size()) full.assign(buffer.data(), length);
  std::string folder = FolderOf(full);
  // The folder first: whoever may write there may also replace the file.
  CTrustDecision decision = DecideTrustOfPath(folder);
  if (!decision.IsTrusted()) {
    decision.reason = "its folder " + folder + " " + decision.reason;
    return decision;
  }
  decision = DecideTrustOfPath(full);
  if (!decision.IsTrusted()) decision.reason = "it " + decision.reason;
  return decision;
}

bool IsTrustRequired() { return CWinService::GetCurrentService() != nullptr || IsServiceAccount(); }

bool CreateTrustedDirectory(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kTrustedFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  BOOL created = ::CreateDirectoryA(path.c_str(), &attributes);
  DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ::SetLastError(error);
  return created != FALSE;
}
