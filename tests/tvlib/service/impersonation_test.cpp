#include "tvlib/service/impersonation.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <vector>

#include "../../../tvlib/src/service/service_account_internal.h"

namespace {

// SIDs from their string form, freed with the list.
class GroupList {
 public:
  explicit GroupList(std::initializer_list<const char*> sids) {
    for (const char* text : sids) {
      PSID sid = nullptr;
      EXPECT_TRUE(::ConvertStringSidToSidA(text, &sid)) << text;
      SID_AND_ATTRIBUTES entry = {sid, SE_GROUP_ENABLED};
      m_groups.push_back(entry);
    }
  }
  ~GroupList() {
    for (auto& g : m_groups) ::LocalFree(g.Sid);
  }
  const SID_AND_ATTRIBUTES* Data() const { return m_groups.empty() ? nullptr : m_groups.data(); }
  DWORD Count() const { return static_cast<DWORD>(m_groups.size()); }

 private:
  std::vector<SID_AND_ATTRIBUTES> m_groups;
};

const char* const kWorld = "S-1-1-0";
const char* const kUsers = "S-1-5-32-545";
const char* const kInteractive = "S-1-5-4";
const char* const kService = "S-1-5-6";
const char* const kSystem = "S-1-5-18";

TEST(ServiceAccount, TheFirstOfTheThreeGroupsInTokenOrderDecides) {
  struct Case {
    std::initializer_list<const char*> groups;
    bool service;
  };
  const Case cases[] = {
      {{kWorld, kInteractive, kService}, false},
      {{kWorld, kService, kInteractive}, true},
      {{kService}, true},
      {{kUsers, kSystem}, true},
      {{kWorld, kUsers}, true},  // no interactive logon at all
      {{}, true},
      {{kInteractive}, false},
  };
  for (const Case& c : cases) {
    GroupList list(c.groups);
    EXPECT_EQ(c.service, service_account::GroupsMeanService(list.Data(), list.Count())) << list.Count();
  }
}

// The preset is process-wide: restore what was there.
class PresetServiceAccount {
 public:
  explicit PresetServiceAccount(bool answer) : m_saved(service_account::GetCache()) {
    service_account::SetCache({true, answer});
  }
  ~PresetServiceAccount() { service_account::SetCache(m_saved); }

 private:
  service_account::Cache m_saved;
};

TEST(ServiceAccount, ThisTestProcessIsNoServiceAndBeginDoesNothing) {
  EXPECT_FALSE(IsServiceAccount());
  EXPECT_FALSE(IsServiceAccount());
  EXPECT_TRUE(service_account::GetCache().computed);

  CImpersonation guard;
  EXPECT_TRUE(guard.End());  // End without Begin
  EXPECT_TRUE(guard.Begin("u", "p"));
  EXPECT_FALSE(guard.IsImpersonating());
  EXPECT_EQ(nullptr, guard.GetToken());
  EXPECT_TRUE(guard.End());
  EXPECT_TRUE(guard.Begin(nullptr, nullptr));
  EXPECT_EQ(nullptr, guard.GetToken());
  EXPECT_TRUE(guard.GetLastErrorText().empty());
  {
    CImpersonation scoped;
    EXPECT_TRUE(scoped.Begin("u", "p"));
  }
  EXPECT_TRUE(guard.End());
}

// Wine's LogonUserA succeeds with a token that can be neither impersonated
// nor closed: both failures must be reported, and End must drop the token.
TEST(ServiceAccount, TheLogonRoadReportsFailuresAndEndDropsTheToken) {
  PresetServiceAccount preset(true);
  ASSERT_TRUE(IsServiceAccount());
  for (const char* user : {"u", static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(user ? user : "(null)");
    CImpersonation guard;
    EXPECT_FALSE(guard.Begin(user, user ? "p" : nullptr));
    EXPECT_FALSE(guard.GetLastErrorText().empty());
    EXPECT_FALSE(guard.IsImpersonating());
    EXPECT_NE(nullptr, guard.GetToken());
    EXPECT_FALSE(guard.End());
    EXPECT_EQ(nullptr, guard.GetToken());
    EXPECT_TRUE(guard.End());
  }
}

}  // namespace
