#include <gtest/gtest.h>

#include <cmath>

#include "runtime/PerformanceTimer.h"

namespace {

using KVO::PerformanceTimer;

TEST(ClockTest, UnitsAgreeCountFromTheUnixEpochAndKeepFractions) {
  const double sec = PerformanceTimer::GetTime_Sec();
  const double ms = PerformanceTimer::GetTime_mS();
  const double us = PerformanceTimer::GetTime_uS();
  const double ns = PerformanceTimer::GetTime_nS();
  // Later reads are never earlier, and never a generous ten seconds apart.
  EXPECT_LE(sec * 1000.0, ms + 1.0);
  EXPECT_LT(ms - sec * 1000.0, 10000.0);
  EXPECT_LE(ms * 1000.0, us + 1000.0);
  EXPECT_LE(us * 1000.0, ns + 1000000.0);
  EXPECT_EQ(ns, std::floor(ns));
  EXPECT_GT(sec, 1577836800.0);  // after 2020: not time since boot
  bool sawFraction = false;
  for (int i = 0; i < 100 && !sawFraction; ++i) {
    const double now = PerformanceTimer::GetTime_mS();
    sawFraction = now != std::floor(now);
  }
  EXPECT_TRUE(sawFraction);
}

}  // namespace
