#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/CompoThread.h"
#include "runtime/WaitHandle.h"
#include "tests/support/AddressSpaceLimit.h"

namespace {

// Polls with a generous deadline; only a hang fails.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::atomic<int> plainCalls{0};
void CountPlainCall() { ++plainCalls; }

class CompoThreadTest : public ::testing::Test {
 protected:
  KVO::CompoThread thread{"worker"};
  // Manual reset: holds the callable until the test opens it, so "a run is
  // under way" is a fact and not a timing guess.
  KVO::WaitHandle gate{false, false};
  std::atomic<int> calls{0};
  std::function<void()> blocking = [this] {
    ++calls;
    gate.WaitOne();
  };
};

TEST_F(CompoThreadTest, EachStartRunsOnceAndEmptyCallablesRunNothing) {
  thread.Join();  // nothing started yet
  thread.Start(std::function<void()>());
  thread.Join();
  thread.Join();
  thread.Start(nullptr);
  thread.Join();
  plainCalls = 0;
  thread.Start(&CountPlainCall);
  ASSERT_TRUE(Eventually([this] { return !thread.IsRunning(); }));
  thread.Start(&CountPlainCall);  // an ended run restarts without a Join()
  thread.Join();
  EXPECT_EQ(2, plainCalls.load());
}

// Eight racing Start() calls launch one run; later calls during it do nothing.
TEST_F(CompoThreadTest, StartsDuringARunAreIgnoredAndTheNameIsLocked) {
  constexpr int kStarters = 8;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::thread starters[kStarters];
  for (auto& starter : starters) {
    starter = std::thread([&] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      thread.Start(blocking);
    });
  }
  ASSERT_TRUE(Eventually([&] { return ready.load() == kStarters; }));
  go = true;
  for (auto& starter : starters) starter.join();
  std::atomic<int> other{0};
  thread.Start([&other] { ++other; });
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_FALSE(thread.SetName("x"));
  EXPECT_EQ("worker", thread.GetName());
  gate.Set();
  ASSERT_TRUE(Eventually([this] { return !thread.IsRunning(); }));
  EXPECT_TRUE(thread.SetName("x"));  // the run has returned, joined or not
  thread.Join();
  EXPECT_EQ(1, calls.load());
  EXPECT_EQ(0, other.load());
}

// The run keeps its own copy of the callable; the destructor joins it.
TEST_F(CompoThreadTest, RunOutlivesTheCallersCopyAndTheDestructorWaits) {
  std::atomic<int> seen{0};
  std::thread opener;
  {
    KVO::CompoThread local("local");
    {
      auto owned = std::make_shared<int>(41);
      local.Start(std::function<void()>([owned, &seen, this] {
        gate.WaitOne();
        seen = *owned + 1;
      }));
    }
    opener = std::thread([this] { gate.Set(); });
  }
  EXPECT_EQ(42, seen.load());
  opener.join();
}

TEST_F(CompoThreadTest, EscapingExceptionIsReportedAndClearsRunning) {
  testing::internal::CaptureStderr();
  thread.Start(std::function<void()>([] { throw std::runtime_error("boom"); }));
  thread.Join();
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("boom"));
  EXPECT_FALSE(thread.IsRunning());
  thread.Start(blocking);  // usable again
  gate.Set();
  thread.Join();
  EXPECT_EQ(1, calls.load());
}

#if !defined(TOLVENIX_TEST_SANITIZED)
// Address space just below what a new thread's stack needs makes the system
// refuse the launch. Runs in a child process so the limit stays there.
void StartWithoutAddressSpace() {
  KVO::CompoThread thread("refused");
  const std::function<void()> nothing = [] {};
  if (!LimitAddressSpace(1024)) std::_Exit(3);
  dup2(2, 1);  // the message goes to standard output; the matcher reads stderr
  thread.Start(nothing);
  const bool markedRunning = thread.IsRunning();
  thread.Start(nothing);  // ignored: the object stays marked running
  std::fflush(stdout);
  std::_Exit(markedRunning && !thread.SetName("x") ? 0 : 1);
}

TEST(CompoThreadLaunchTest, RefusedLaunchIsReportedAndStaysMarkedRunning) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StartWithoutAddressSpace(), ::testing::ExitedWithCode(0),
              "Caught system_error with code [a-z]+:[0-9]+\n meaning ");
  GTEST_FLAG_SET(death_test_style, style);
}
#endif

}  // namespace
