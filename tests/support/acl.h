// Reads a DACL back ACE by ACE, for tests of the descriptors the program
// builds: type, inheritance flags, access mask and well-known SID, exactly.
// Masks are compared as given: a descriptor built from SDDL keeps its generic
// bits until Windows applies it to an object (Wine also reports them so).
#pragma once

#include <gtest/gtest.h>

#include <aclapi.h>

#include <vector>

#include "tvlib/win.h"

namespace testsupport {

struct ExpectedAce {
  BYTE type;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
  BYTE flags;
  ACCESS_MASK mask;
  WELL_KNOWN_SID_TYPE sid;
};

inline void ExpectAces(PACL dacl, const std::vector<ExpectedAce>& expected) {
  ASSERT_NE(nullptr, dacl);
  ASSERT_EQ(expected.size(), dacl->AceCount);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &raw));
    const auto* header = static_cast<ACE_HEADER*>(raw);
    EXPECT_EQ(expected[i].type, header->AceType) << "ACE " << i;
    EXPECT_EQ(expected[i].flags, header->AceFlags) << "ACE " << i;
    // Allowed and denied ACEs share one layout: header, mask, then the SID.
    const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    EXPECT_EQ(expected[i].mask, ace->Mask) << "ACE " << i;
    EXPECT_TRUE(::IsWellKnownSid(const_cast<DWORD*>(&ace->SidStart), expected[i].sid)) << "ACE " << i;
  }
}

// The DACL of a self-relative or absolute descriptor; null when it has none.
inline PACL DaclOf(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present) return nullptr;
  return dacl;
}

// The same, of an object's DACL read back through a handle that has
// READ_CONTROL.
inline void ExpectAces(HANDLE object, SE_OBJECT_TYPE type, const std::vector<ExpectedAce>& expected) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(DWORD(ERROR_SUCCESS), ::GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                    &dacl, nullptr, &sd));
  ExpectAces(dacl, expected);
  ::LocalFree(sd);
}

}  // namespace testsupport
