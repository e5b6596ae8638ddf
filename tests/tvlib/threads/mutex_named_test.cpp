#include <gtest/gtest.h>

#include "support/fn_thread.h"
#include "support/log_capture.h"
#include "support/child_process.h"
#include "support/poll.h"
#include "tvlib/threads/sync.h"

namespace {

TEST(MutexNamed, OpenOfMissingNameFailsSilently) {
  LogCapture probe;
  CMutexNamed m;
  EXPECT_EQ(1, m.Open(testsupport::UniqueName("missing").c_str()));
  EXPECT_FALSE(m.IsOpen());
  EXPECT_EQ(1, m.Lock());
  EXPECT_EQ(1, m.Unlock());
  EXPECT_TRUE(probe.Lines().empty());
}

TEST(MutexNamed, CreateThenOpenElsewhere) {
  std::string name = testsupport::UniqueName("named");
  CMutexNamed owner(name.c_str());
  ASSERT_TRUE(owner.IsOpen());
  EXPECT_EQ("Global\\TARVEL_" + name + "_MUTEX", owner.GetObjectName());
  EXPECT_EQ(1, owner.Create(name.c_str()));  // already holds a handle
  CMutexNamed other;
  EXPECT_EQ(0, other.Open(name.c_str()));
  EXPECT_EQ(1, other.Open(name.c_str()));
  CMutexNamed none(nullptr);
  EXPECT_FALSE(none.IsOpen());
  EXPECT_EQ(1, none.Create(nullptr));
}

TEST(MutexNamed, LockExcludesOtherHandle) {
  std::string name = testsupport::UniqueName("named");
  CMutexNamed a(name.c_str());
  CMutexNamed b;
  ASSERT_EQ(0, b.Open(name.c_str()));
  ASSERT_EQ(0, a.Lock());
  volatile LONG inside = 0;
  FnThread t([&](FnThread&) {
    int r = b.Lock();
    ::InterlockedExchange(&inside, 1);
    if (r == 0) b.Unlock();
    return r;
  });
  ASSERT_EQ(0, t.Create(2));
  ::Sleep(150);
  EXPECT_EQ(0, inside);
  EXPECT_EQ(0, a.Unlock());
  EXPECT_EQ(0, t.Join());
  EXPECT_EQ(1, inside);
}

TEST(MutexNamed, ChildProcessOpensSameName) {
  std::string name = testsupport::UniqueName("named");
  EXPECT_EQ(1, testsupport::RunChild("helper_threads.exe", "named-open " + name));
  CMutexNamed m(name.c_str());
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(0, testsupport::RunChild("helper_threads.exe", "named-open " + name));
}

TEST(MutexNamed, MutexAbandonedByChildCountsAsTaken) {
  std::string name = testsupport::UniqueName("named");
  CMutexNamed m(name.c_str());
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(0, testsupport::RunChild("helper_threads.exe", "abandon-named " + name));
  EXPECT_EQ(0, m.Lock());
  EXPECT_EQ(0, m.Unlock());
}

TEST(RestrictedSD, BuildsAndFrees) {
  SECURITY_DESCRIPTOR sd;
  PACL acl = BuildRestrictedSD(&sd);
  ASSERT_NE(nullptr, acl);
  EXPECT_TRUE(::IsValidSecurityDescriptor(&sd));
  BOOL present = FALSE, defaulted = TRUE;
  PACL got = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(acl, got);
  EXPECT_EQ(1, acl->AceCount);
  FreeRestrictedSD(acl);
  FreeRestrictedSD(nullptr);
}

}  // namespace
