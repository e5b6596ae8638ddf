#include "tvlib/files/name_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fn_thread.h"
#include "support/poll.h"

namespace {

int g_ownerA, g_ownerB;
const void* const A = &g_ownerA;
const void* const B = &g_ownerB;

// One registry use per test, released at its end (each test runs in its own
// process, so the use count starts at 0).
class NameRegistryTest : public ::testing::Test {
 protected:
  NameRegistryTest() : reg(GetNameRegistry()) {}
  ~NameRegistryTest() override { ReleaseNameRegistry(); }
  CNameRegistry* reg;
};

TEST_F(NameRegistryTest, ANameHasOneOwnerAndOnlyThatOwnerRemovesIt) {
  EXPECT_TRUE(reg->Register("n", A));
  EXPECT_FALSE(reg->Register("n", A));
  EXPECT_FALSE(reg->Register("n", B));
  EXPECT_FALSE(reg->Unregister("n", B));
  EXPECT_TRUE(reg->IsRegisteredBy("n", A));
  EXPECT_FALSE(reg->IsRegisteredBy("n", B));
  EXPECT_TRUE(reg->Unregister("n", A));
  EXPECT_FALSE(reg->IsRegistered("n"));
  EXPECT_FALSE(reg->Unregister("n", A));

  EXPECT_FALSE(reg->Register("", A));
  EXPECT_FALSE(reg->Register("x", nullptr));
  EXPECT_FALSE(reg->Unregister("", A));
  EXPECT_FALSE(reg->Unregister("x", nullptr));
  EXPECT_FALSE(reg->UnregisterAll(nullptr));
}

TEST_F(NameRegistryTest, GetNamesAppendsInByteOrder) {
  for (const char* name : {"b", "a", "ab", "\x80", "B"}) ASSERT_TRUE(reg->Register(name, A));
  ASSERT_TRUE(reg->Register("other", B));
  std::vector<std::string> names = {"kept"};
  EXPECT_TRUE(reg->GetNames(A, names));
  EXPECT_EQ((std::vector<std::string>{"kept", "B", "a", "ab", "b", "\x80"}), names);

  std::vector<std::string> none;
  int stranger;
  EXPECT_TRUE(reg->GetNames(&stranger, none));
  EXPECT_TRUE(none.empty());
}

TEST_F(NameRegistryTest, UnregisterAllAndAllExcept) {
  for (const char* name : {"a1", "a2"}) ASSERT_TRUE(reg->Register(name, A));
  for (const char* name : {"b1", "b2"}) ASSERT_TRUE(reg->Register(name, B));
  EXPECT_TRUE(reg->UnregisterAll(A));
  EXPECT_FALSE(reg->IsRegistered("a1"));
  EXPECT_FALSE(reg->IsRegistered("a2"));
  EXPECT_TRUE(reg->IsRegistered("b1"));

  ASSERT_TRUE(reg->Register("a3", A));
  EXPECT_TRUE(reg->UnregisterAllExcept(A));
  EXPECT_TRUE(reg->IsRegisteredBy("a3", A));
  EXPECT_FALSE(reg->IsRegistered("b1"));
  EXPECT_FALSE(reg->IsRegistered("b2"));
  EXPECT_TRUE(reg->UnregisterAllExcept(nullptr));  // every name goes
  EXPECT_FALSE(reg->IsRegistered("a3"));
}

TEST_F(NameRegistryTest, EntriesLiveUntilTheLastRelease) {
  ASSERT_TRUE(reg->Register("n", A));
  CNameRegistry* second = GetNameRegistry();
  EXPECT_EQ(reg, second);
  ReleaseNameRegistry();
  EXPECT_TRUE(reg->IsRegistered("n"));
  ReleaseNameRegistry();
  // Used after its last release: empty, and accepts nothing.
  EXPECT_FALSE(reg->IsRegistered("n"));
  EXPECT_FALSE(reg->Register("n", A));
  EXPECT_FALSE(reg->IsRegistered("n"));

  // A release with no use left is ignored; the next use starts empty and works.
  ReleaseNameRegistry();
  reg = GetNameRegistry();
  EXPECT_FALSE(reg->IsRegistered("n"));
  EXPECT_TRUE(reg->Register("n", A));
  EXPECT_TRUE(reg->IsRegisteredBy("n", A));
}

TEST_F(NameRegistryTest, TwoThreadsNeverBothGetAName) {
  const int kNames = 1000;
  std::vector<int> won[2] = {std::vector<int>(kNames), std::vector<int>(kNames)};
  volatile LONG go = 0;
  auto body = [&](int side) {
    return [&, side](FnThread&) {
      while (::InterlockedCompareExchange(&go, 0, 0) == 0) {
      }
      for (int i = 0; i < kNames; ++i) won[side][i] = reg->Register("name" + std::to_string(i), side ? B : A);
      return 0;
    };
  };
  FnThread first(body(0)), second(body(1));
  ASSERT_EQ(0, first.Create(2));
  ASSERT_EQ(0, second.Create(2));
  ::InterlockedExchange(&go, 1);
  first.Stop();
  second.Stop();
  for (int i = 0; i < kNames; ++i) {
    std::string name = "name" + std::to_string(i);
    ASSERT_EQ(1, won[0][i] + won[1][i]) << name;
    EXPECT_TRUE(reg->IsRegisteredBy(name, won[0][i] ? A : B)) << name;
  }
}

}  // namespace
