#include <gtest/gtest.h>
int TvlibProbe();
TEST(Probe, Runs) { EXPECT_EQ(1, TvlibProbe()); }
