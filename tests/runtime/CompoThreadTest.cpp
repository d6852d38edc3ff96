#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/CompoThread.h"
#include "tests/runtime/AddressSpaceLimit.h"

namespace {

// A one-shot latch: the callable under test blocks on it until the test
// opens it, so "a run is under way" is a fact and not a timing guess.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(mutex);
    open = true;
    condition.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> guard(mutex);
    condition.wait(guard, [this] { return open; });
  }

 private:
  std::mutex mutex;
  std::condition_variable condition;
  bool open = false;
};

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
  Gate gate;
  std::atomic<int> calls{0};
  std::function<void()> blocking = [this] {
    ++calls;
    gate.Wait();
  };
};

TEST_F(CompoThreadTest, EmptyCallablesRunNothingAndJoinsMayRepeat) {
  thread.Join();  // nothing started yet
  thread.Start(std::function<void()>());
  thread.Join();
  thread.Join();
  thread.Start(nullptr);
  thread.Join();
  EXPECT_FALSE(thread.IsRunning());
}

TEST_F(CompoThreadTest, EndedRunStartsAgainWithoutAJoin) {
  plainCalls = 0;
  thread.Start(&CountPlainCall);
  ASSERT_TRUE(Eventually([this] { return !thread.IsRunning(); }));
  thread.Start(&CountPlainCall);
  thread.Join();
  EXPECT_EQ(2, plainCalls.load());
}

TEST_F(CompoThreadTest, StartDuringARunIsIgnoredAndTheNameIsLocked) {
  thread.Start(blocking);
  ASSERT_TRUE(Eventually([this] { return calls.load() == 1; }));
  std::atomic<int> other{0};
  thread.Start([&other] { ++other; });
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_FALSE(thread.SetName("x"));
  EXPECT_EQ("worker", thread.GetName());
  gate.Open();
  ASSERT_TRUE(Eventually([this] { return !thread.IsRunning(); }));
  EXPECT_TRUE(thread.SetName("x"));  // the run has returned, joined or not
  thread.Join();
  EXPECT_EQ(1, calls.load());
  EXPECT_EQ(0, other.load());
}

TEST_F(CompoThreadTest, ConcurrentStartsLaunchOneRun) {
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
  gate.Open();
  thread.Join();
  EXPECT_EQ(1, calls.load());
}

TEST_F(CompoThreadTest, CallerCopyMayDieRightAfterStart) {
  std::atomic<int> seen{0};
  {
    auto owned = std::make_shared<int>(41);
    thread.Start(std::function<void()>([owned, &seen, this] {
      gate.Wait();
      seen = *owned + 1;
    }));
  }
  gate.Open();
  thread.Join();
  EXPECT_EQ(42, seen.load());
}

TEST_F(CompoThreadTest, DestructorWaitsForTheCallable) {
  std::atomic<bool> finished{false};
  std::thread opener;
  {
    KVO::CompoThread local("local");
    local.Start([this, &finished] {
      gate.Wait();
      finished = true;
    });
    opener = std::thread([this] { gate.Open(); });
  }
  EXPECT_TRUE(finished.load());
  opener.join();
}

TEST_F(CompoThreadTest, EscapingExceptionIsReportedAndClearsRunning) {
  testing::internal::CaptureStderr();
  thread.Start(std::function<void()>([] { throw std::runtime_error("boom"); }));
  thread.Join();
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("boom"));
  EXPECT_FALSE(thread.IsRunning());
  thread.Start(blocking);  // usable again
  gate.Open();
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
