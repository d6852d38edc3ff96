#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "runtime/Thread.h"
#include "runtime/WaitHandle.h"
#include "tests/support/AddressSpaceLimit.h"

namespace {

// A worker whose body the test scripts.
class ScriptedThread : public KVO::Thread {
 public:
  explicit ScriptedThread(std::function<int(ScriptedThread&)> body)
      : KVO::Thread("scripted", 0, false), body_(std::move(body)) {}
  ~ScriptedThread() override { WaitForStop(); }

  bool StopWasRequested() const { return stopRequested; }
  int Result() const { return mainResult; }
  std::atomic<int> runs{0};

 protected:
  int ThreadMain() override {
    ++runs;
    return body_(*this);
  }

 private:
  std::function<int(ScriptedThread&)> body_;
};

// Start twice, Kill, restart after the end, join twice.
TEST(ThreadTest, RunsOnceAtATimeAndRestartsAfterItsEnd) {
  KVO::WaitHandle started(false, true);
  KVO::WaitHandle release(false, false);
  ScriptedThread t([&](ScriptedThread& self) {
    started.Set();
    release.WaitOne();
    return self.StopWasRequested() ? -1 : self.runs.load();
  });
  t.Kill();  // never started: returns at once
  EXPECT_FALSE(t.HasBeenStarted());
  EXPECT_TRUE(t.SetName("other"));
  t.Start();
  ASSERT_TRUE(started.WaitOne(10000));
  t.Start();  // ignored during a run
  EXPECT_TRUE(t.IsRunning());
  std::thread releaser([&] { release.Set(); });
  t.Kill();  // waits for the body without asking it to stop
  releaser.join();
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.Result(), 1);
  EXPECT_FALSE(t.SetName("late"));  // refused for good once started
  t.Start();                        // joins the ended thread, then runs again
  ASSERT_TRUE(started.WaitOne(10000));
  while (t.IsRunning()) std::this_thread::yield();
  EXPECT_EQ(t.Result(), 2);
  t.WaitForStop();
  t.WaitForStop();  // nothing left to join
  EXPECT_EQ(t.runs.load(), 2);
  EXPECT_EQ(t.GetName(), "other");
}

// Spins until asked to stop. Touches no member of its own after announcing
// itself: the base destructor joins after this class's members are gone.
class GraceThread : public KVO::Thread {
 public:
  GraceThread(int graceMs, KVO::WaitHandle& started)
      : KVO::Thread("grace", graceMs, false), started_(started) {}

 protected:
  int ThreadMain() override {
    started_.Set();
    while (!stopRequested) std::this_thread::yield();
    return 0;
  }

 private:
  KVO::WaitHandle& started_;
};

// The destructor asks a running body to stop and sleeps the grace period
// before it joins; a body that has already ended (its stop requested before
// the start) is joined without the sleep, so the minute never passes.
TEST(ThreadTest, DestructorSleepsTheGracePeriodOnlyForARunningBody) {
  const struct {
    int graceMs;
    bool endFirst;
    int minimumMs;
  } kCases[] = {{300, false, 299}, {0, false, 0}, {-1, false, 0}, {60000, true, 0}};
  for (const auto& c : kCases) {
    KVO::WaitHandle started(false, false);
    auto t = std::make_unique<GraceThread>(c.graceMs, started);
    if (c.endFirst) t->RequestToStop();
    t->Start();
    ASSERT_TRUE(started.WaitOne(10000));
    while (c.endFirst && t->IsRunning()) std::this_thread::yield();
    const auto before = std::chrono::steady_clock::now();
    t.reset();
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(c.minimumMs));
  }
}

#if !defined(TOLVENIX_TEST_SANITIZED)
// In a child process whose address space has no room for a thread stack:
// Start() reports the refusal, the object stays marked running, and Kill()
// returns instead of waiting for a thread that never existed.
void StartRefusedThenKill() {
  ScriptedThread t([](ScriptedThread&) { return 0; });
  if (!LimitAddressSpace(1024)) std::_Exit(3);
  bool refused = false;
  try {
    t.Start();
  } catch (const std::system_error&) {
    refused = true;
  }
  if (!refused) std::_Exit(4);
  t.Start();  // ignored: the object is unusable, not relaunched
  const bool stillMarked = t.IsRunning() && !t.SetName("x");
  t.Kill();
  std::_Exit(stillMarked ? 0 : 5);
}

TEST(ThreadLaunchTest, KillAfterARefusedLaunchReturns) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StartRefusedThenKill(), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}
#endif

}  // namespace
