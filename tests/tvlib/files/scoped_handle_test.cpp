// The handle guard: closes exactly what it holds, once, through its traits,
// and leaves the thread's last error as the failed call set it.
#include <gtest/gtest.h>

#include <vector>

#include "tvlib/scoped_handle.h"

namespace {

// Records every close; 0 is "no handle".
struct CountingTraits {
  typedef int Handle;
  static std::vector<int> closed;
  static Handle Invalid() { return 0; }
  static bool IsValid(Handle h) { return h != 0; }
  static void Close(Handle h) {
    closed.push_back(h);
    ::SetLastError(ERROR_INVALID_HANDLE);  // a closer that disturbs the error
  }
};
std::vector<int> CountingTraits::closed;

TEST(ScopedHandle, ClosesWhatItHoldsOnceAndKeepsTheLastError) {
  CountingTraits::closed.clear();
  {
    CScopedHandle<CountingTraits> none;
    CScopedHandle<CountingTraits> one(7);
    CScopedHandle<CountingTraits> given(8);
    EXPECT_EQ(8, given.Release());
    EXPECT_FALSE(given.IsValid());
    one.Reset(9);  // closes 7
    ::SetLastError(ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ((std::vector<int>{7, 9}), CountingTraits::closed);
  EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), ::GetLastError());
}

}  // namespace
