// The named objects' descriptor: four ACEs in the order that makes the denials
// win, each with its SID, inheritance and access mask.
#include <gtest/gtest.h>

#include "support/acl.h"
#include "tvlib/ipc/security.h"

namespace {

using testsupport::ExpectedAce;

TEST(RestrictedSecurity, DeniesGuestsAndAnonymousAllowsUsersAndAdministrators) {
  PSECURITY_DESCRIPTOR sd = BuildRestrictedSecurityDescriptor();
  ASSERT_NE(nullptr, sd);
  const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  testsupport::ExpectAces(testsupport::DaclOf(sd),
                          {{ACCESS_DENIED_ACE_TYPE, inherit, GENERIC_ALL, WinBuiltinGuestsSid},
                           {ACCESS_DENIED_ACE_TYPE, inherit, GENERIC_ALL, WinAnonymousSid},
                           {ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE,
                            WinAuthenticatedUserSid},
                           {ACCESS_ALLOWED_ACE_TYPE, inherit, GENERIC_ALL, WinBuiltinAdministratorsSid}});
  ::LocalFree(sd);
}

}  // namespace
