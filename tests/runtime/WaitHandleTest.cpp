#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "runtime/WaitHandle.h"

namespace {

// One thread: after `sets` calls to Set(), WaitOne(timeoutMs) answers `first`
// and a following poll answers `second`; Reset() then leaves it unsignalled.
TEST(WaitHandleTest, SingleThreadFollowsTheStateTable) {
  KVO::WaitHandle byDefault;  // unsignalled, auto-reset
  EXPECT_FALSE(byDefault.WaitOne(0));
  byDefault.Set();
  EXPECT_TRUE(byDefault.WaitOne(0));
  EXPECT_FALSE(byDefault.WaitOne(0));
  // initial, autoReset, sets, timeoutMs, first, second
  const std::tuple<bool, bool, int, int, bool, bool> kRows[] = {
      {true, true, 0, 0, true, false},        // zero time-out consumes
      {false, true, 2, 0, true, false},       // signals do not count up
      {false, true, 1, 5000, true, false},    // a Set before the wait is remembered
      {true, true, 0, INT_MAX, true, false},  // huge time-outs do not overflow
      {false, true, 0, INT_MIN, false, false},
      {false, true, 0, -5, false, false},  // negative: a poll, no wait
      {true, false, 0, -1, true, true},    // manual reset stays signalled
      {false, false, 3, INT_MAX, true, true},
      {false, true, 0, 100, false, false},  // timed waits run out
      {false, false, 0, 100, false, false},
  };
  for (const auto& [initial, autoReset, sets, timeoutMs, first, second] : kRows) {
    KVO::WaitHandle h(initial, autoReset);
    for (int i = 0; i < sets; ++i) h.Set();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(first, h.WaitOne(timeoutMs)) << timeoutMs;
    if (!first && timeoutMs > 0) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeoutMs - 1));
    }
    EXPECT_EQ(second, h.WaitOne(0)) << timeoutMs;
    h.Reset();
    EXPECT_FALSE(h.WaitOne(0));
  }
}

// Three waiters, set after they (most likely) wait: Reset() wakes nobody, a
// manual-reset Set() releases all, an auto-reset Set() one at a time.
TEST(WaitHandleTest, SetReleasesEveryManualResetWaiterOrOneAutoResetWaiter) {
  for (bool autoReset : {false, true}) {
    KVO::WaitHandle h(false, autoReset);
    KVO::WaitHandle oneReturned(false, true);
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        h.WaitOne();
        ++returned;
        oneReturned.Set();
      });
    }
    h.Reset();
    EXPECT_FALSE(oneReturned.WaitOne(50));
    h.Set();
    for (int round = 1; autoReset && round <= 3; ++round) {
      EXPECT_TRUE(oneReturned.WaitOne(10000));
      EXPECT_FALSE(oneReturned.WaitOne(50));
      EXPECT_EQ(round, returned.load());
      h.Set();
    }
    for (auto& waiter : waiters) waiter.join();  // hangs if one is never released
    EXPECT_EQ(3, returned.load());
  }
}

// Boost threads can be interrupted inside a condition wait: a timed wait must
// still answer true for a Set() that arrived, an untimed one keeps waiting.
TEST(WaitHandleTest, AnInterruptedWaitStillEndsOnTheSet) {
  for (int i = 0; i < 41; ++i) {
    const bool untimed = i == 40;
    KVO::WaitHandle h(false, true);
    KVO::WaitHandle waiting(false, false);
    KVO::WaitHandle returned(false, false);
    std::atomic<bool> answer{false};
    boost::thread t([&] {
      waiting.Set();
      untimed ? h.WaitOne() : void(answer = h.WaitOne(60000));
      returned.Set();
    });
    waiting.WaitOne();
    if (untimed) t.interrupt();
    EXPECT_FALSE(untimed && returned.WaitOne(100));
    h.Set();
    if (i % 2 == 1) t.interrupt();
    t.join();  // a missed Set() would take a minute
    EXPECT_TRUE(answer || untimed) << i;
    EXPECT_FALSE(h.WaitOne(0)) << i;
  }
}

}  // namespace
