// The blocks' descriptor: four ACEs in the order that makes the denials win,
// each with its SID, inheritance and access mask. And the rule on what a
// service may trust, on owners and DACLs built from SDDL texts.
#include <gtest/gtest.h>

#include <string>

#include "support/acl.h"
#include "tvlib/ipc/security.h"
#include "tvlib/ipc/security_trust.h"

#include <sddl.h>

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

// What a service may take its configuration and its DLL from, decided on
// the owner and DACL alone: Wine runs everything as one administrator, so a
// file's real owner and DACL can only be shown here.
TEST(TrustedFiles, OnlyWhatNoOrdinaryAccountCanHaveWrittenIsTrusted) {
  const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  struct {
    std::string sddl;
    ETrustVerdict verdict;
    const char* named;  // in the reason
  } cases[] = {
      // The folder --install-service makes, and a file that inherits from it.
      {kTrustedFolderSddl, eTRUST_OK, ""},
      {"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", eTRUST_OK, ""},
      // A program folder as the system's installer leaves it: what creators
      // of files would get is only handed down, and a denial grants nothing.
      {std::string("O:") + kTrustedInstaller + "D:PAI(D;;FA;;;BG)(A;;FA;;;" + kTrustedInstaller +
           ")(A;OICIIO;GA;;;CO)(A;;FA;;;SY)(A;;0x1200a9;;;BU)",
       eTRUST_OK, ""},
      // A file that an ordinary account created, with a harmless DACL.
      {"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", eTRUST_OWNER,
       "S-1-5-21-1-2-3-1001"},
      // A folder in which users may create files (FILE_ADD_FILE).
      {"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;;0x2;;;BU)", eTRUST_WRITABLE, "S-1-5-32-545"},
      // Write for authenticated users, inherited from the folder above.
      {"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FW;;;AU)", eTRUST_WRITABLE, "S-1-5-11"},
  };
  for (const auto& c : cases) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        << c.sddl;
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_TRUE(::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    CTrustDecision decision = DecideTrust(owner, present ? dacl : nullptr);
    EXPECT_EQ(c.verdict, decision.verdict) << c.sddl << ": " << decision.reason;
    EXPECT_NE(std::string::npos, decision.reason.find(c.named)) << c.sddl << ": " << decision.reason;
    EXPECT_EQ(decision.IsTrusted(), decision.reason.empty()) << c.sddl;
    ::LocalFree(sd);
  }
}

}  // namespace
