#include "runtime/WaitHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <chrono>
#include <thread>
#include <vector>

#include <boost/thread/thread.hpp>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A waiter on its own thread whose return the test can observe.
class Waiter {
 public:
  explicit Waiter(KVO::WaitHandle& handle) : done_(false, false) {
    thread_ = std::thread([this, &handle] {
      handle.WaitOne();
      returned_ = true;
      done_.Set();
    });
  }
  ~Waiter() { thread_.join(); }
  // True when the waiter returned within a generous time.
  bool ReturnsSoon() { return done_.WaitOne(10000); }
  // True when the waiter is still blocked after a short look.
  bool StillBlocked() { return !done_.WaitOne(50) && !returned_; }

 private:
  KVO::WaitHandle done_;
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

TEST(WaitHandleTest, DefaultIsUnsignalledAndAutoReset) {
  KVO::WaitHandle h;
  EXPECT_FALSE(h.WaitOne(0));
  h.Set();
  EXPECT_TRUE(h.WaitOne(0));
  EXPECT_FALSE(h.WaitOne(0));
}

TEST(WaitHandleTest, InitiallySignalledAutoResetReleasesOnce) {
  KVO::WaitHandle h(true, true);
  h.WaitOne();  // returns at once
  Waiter second(h);
  EXPECT_TRUE(second.StillBlocked());
  h.Set();
  EXPECT_TRUE(second.ReturnsSoon());
}

TEST(WaitHandleTest, ManualResetStaysSignalledUntilReset) {
  KVO::WaitHandle h(false, false);
  h.Set();
  for (int i = 0; i < 3; ++i) {
    h.WaitOne();
    EXPECT_TRUE(h.WaitOne(0));
    EXPECT_TRUE(h.WaitOne(5000));
  }
  h.Reset();
  EXPECT_FALSE(h.WaitOne(0));
}

TEST(WaitHandleTest, ManualResetReleasesEveryWaiter) {
  KVO::WaitHandle h(false, false);
  std::vector<std::unique_ptr<Waiter>> waiters;
  for (int i = 0; i < 4; ++i) waiters.push_back(std::make_unique<Waiter>(h));
  h.Set();
  for (auto& w : waiters) EXPECT_TRUE(w->ReturnsSoon());
}

TEST(WaitHandleTest, AutoResetReleasesOneWaiterPerSet) {
  KVO::WaitHandle h(false, true);
  KVO::WaitHandle oneReturned(false, true);
  std::atomic<int> returned{0};
  auto waiter = [&] {
    h.WaitOne();
    ++returned;
    oneReturned.Set();
  };
  std::thread a(waiter);
  std::thread b(waiter);
  h.Set();
  ASSERT_TRUE(oneReturned.WaitOne(10000));
  EXPECT_FALSE(oneReturned.WaitOne(50));
  EXPECT_EQ(returned.load(), 1);
  h.Set();
  ASSERT_TRUE(oneReturned.WaitOne(10000));
  a.join();
  b.join();
  EXPECT_EQ(returned.load(), 2);
}

TEST(WaitHandleTest, SignalsDoNotCountUp) {
  KVO::WaitHandle h(false, true);
  h.Set();
  h.Set();
  h.WaitOne();  // the remembered signal
  Waiter second(h);
  EXPECT_TRUE(second.StillBlocked());
  h.Set();
  EXPECT_TRUE(second.ReturnsSoon());
}

TEST(WaitHandleTest, SetBeforeWaitIsRemembered) {
  KVO::WaitHandle h(false, true);
  h.Set();
  const auto start = Clock::now();
  EXPECT_TRUE(h.WaitOne(5000));
  EXPECT_LT(MsSince(start), 5000.0);
}

TEST(WaitHandleTest, TimedWaitRunsOutAndLeavesUnsignalled) {
  for (bool autoReset : {true, false}) {
    KVO::WaitHandle h(false, autoReset);
    const auto start = Clock::now();
    EXPECT_FALSE(h.WaitOne(100));
    EXPECT_GE(MsSince(start), 99.0);
    EXPECT_FALSE(h.WaitOne(0));
    EXPECT_FALSE(h.WaitOne(-5));
  }
}

TEST(WaitHandleTest, ZeroTimeoutConsumesAnAutoResetSignal) {
  KVO::WaitHandle h(true, true);
  EXPECT_TRUE(h.WaitOne(0));
  EXPECT_FALSE(h.WaitOne(0));
  KVO::WaitHandle m(true, false);
  EXPECT_TRUE(m.WaitOne(-1));
  EXPECT_TRUE(m.WaitOne(0));
}

TEST(WaitHandleTest, SetFromAnotherThreadEndsATimedWait) {
  KVO::WaitHandle h(false, true);
  KVO::WaitHandle waiting(false, false);
  std::atomic<bool> answer{false};
  std::thread t([&] {
    waiting.Set();
    answer = h.WaitOne(60000);
  });
  waiting.WaitOne();
  h.Set();
  t.join();  // would take a minute if the Set() were missed
  EXPECT_TRUE(answer);
  EXPECT_FALSE(h.WaitOne(0));
}

TEST(WaitHandleTest, HugeTimeoutsDoNotOverflow) {
  KVO::WaitHandle h(true, true);
  EXPECT_TRUE(h.WaitOne(2147483647));
  EXPECT_FALSE(h.WaitOne(-2147483647 - 1));
}

TEST(WaitHandleTest, ResetWakesNobody) {
  KVO::WaitHandle h(false, false);
  Waiter w(h);
  h.Reset();
  EXPECT_TRUE(w.StillBlocked());
  h.Set();
  EXPECT_TRUE(w.ReturnsSoon());
}

// Boost threads can be interrupted inside a condition wait; the handle must
// neither lose a signal nor give up an untimed wait because of it.
TEST(WaitHandleTest, InterruptedTimedWaitStillSeesASetThatArrived) {
  for (int i = 0; i < 20; ++i) {
    KVO::WaitHandle h(false, true);
    KVO::WaitHandle waiting(false, false);
    std::atomic<bool> answer{false};
    boost::thread t([&] {
      waiting.Set();
      answer = h.WaitOne(60000);
    });
    waiting.WaitOne();
    h.Set();
    t.interrupt();
    t.join();
    EXPECT_TRUE(answer) << i;
  }
}

TEST(WaitHandleTest, InterruptedUntimedWaitKeepsWaiting) {
  KVO::WaitHandle h(false, true);
  KVO::WaitHandle waiting(false, false);
  KVO::WaitHandle returned(false, false);
  boost::thread t([&] {
    waiting.Set();
    h.WaitOne();
    returned.Set();
  });
  waiting.WaitOne();
  t.interrupt();
  EXPECT_FALSE(returned.WaitOne(100));
  h.Set();
  EXPECT_TRUE(returned.WaitOne(10000));
  t.join();
}

}  // namespace
