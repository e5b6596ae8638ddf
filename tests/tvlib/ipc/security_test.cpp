// The named objects' descriptor: four ACEs in the order that makes the denials
// win, compared by type, SID and inheritance (Wine keeps generic masks
// unmapped, so masks and SDDL texts are not compared).
#include <gtest/gtest.h>

#include <aclapi.h>

#include "tvlib/ipc/security.h"

namespace {

struct Ace {
  BYTE type;
  BYTE flags;
  WELL_KNOWN_SID_TYPE sid;
};

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != FALSE; }

TEST(RestrictedSecurity, DeniesGuestsAndAnonymousAllowsUsersAndAdministrators) {
  PSECURITY_DESCRIPTOR sd = BuildRestrictedSecurityDescriptor();
  ASSERT_NE(nullptr, sd);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(nullptr, dacl);
  ASSERT_EQ(4u, dacl->AceCount);
  const Ace expected[] = {
      {ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, WinBuiltinGuestsSid},
      {ACCESS_DENIED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, WinAnonymousSid},
      {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, WinAuthenticatedUserSid},
      {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, WinBuiltinAdministratorsSid}};
  for (DWORD i = 0; i < 4; ++i) {
    void* raw = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &raw));
    auto* header = static_cast<ACE_HEADER*>(raw);
    EXPECT_EQ(expected[i].type, header->AceType) << i;
    EXPECT_EQ(expected[i].flags, header->AceFlags) << i;
    // Allowed and denied ACEs share one layout: mask, then the SID.
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(raw)->SidStart;
    EXPECT_TRUE(SidIs(sid, expected[i].sid)) << i;
  }
  ::LocalFree(sd);
}

}  // namespace
