#include "runtime/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>
#include <memory>
#include <thread>
#include <utility>

#include "runtime/WaitHandle.h"
#include "tests/runtime/AddressSpaceLimit.h"

namespace {

using Clock = std::chrono::steady_clock;

// A worker whose body the test scripts.
class ScriptedThread : public KVO::Thread {
 public:
  ScriptedThread(std::function<int(ScriptedThread&)> body, int stopTimeoutMs = 0)
      : KVO::Thread("scripted", stopTimeoutMs, false), body_(std::move(body)) {}
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

// Runs until asked to stop, signalling `started` once it runs.
struct StoppableBody {
  KVO::WaitHandle started{false, false};
  KVO::WaitHandle wake{false, true};
  std::function<int(ScriptedThread&)> Body() {
    return [this](ScriptedThread& self) {
      started.Set();
      while (!self.StopWasRequested()) wake.WaitOne(10);
      return 7;
    };
  }
};

TEST(ThreadTest, StartWhileRunningIsIgnored) {
  StoppableBody b;
  ScriptedThread t(b.Body());
  t.Start();
  ASSERT_TRUE(b.started.WaitOne(10000));
  t.Start();
  t.Start();
  EXPECT_TRUE(t.IsRunning());
  t.WaitForStop();
  EXPECT_EQ(t.runs.load(), 1);
  EXPECT_EQ(t.Result(), 7);
  EXPECT_FALSE(t.IsRunning());
}

TEST(ThreadTest, BodyThatReturnsAtOnceCanBeJoinedTwice) {
  KVO::WaitHandle done(false, false);
  ScriptedThread t([&](ScriptedThread&) {
    done.Set();
    return 3;
  });
  EXPECT_FALSE(t.HasBeenStarted());
  t.Start();
  ASSERT_TRUE(done.WaitOne(10000));
  t.WaitForStop();
  EXPECT_FALSE(t.IsRunning());
  EXPECT_TRUE(t.HasBeenStarted());
  EXPECT_EQ(t.Result(), 3);
  t.WaitForStop();  // nothing left to join
}

TEST(ThreadTest, StartAfterAnEndedRunBeginsANewRun) {
  KVO::WaitHandle ran(false, true);
  ScriptedThread t([&](ScriptedThread& self) {
    ran.Set();
    return self.runs.load();
  });
  t.Start();
  ASSERT_TRUE(ran.WaitOne(10000));
  while (t.IsRunning()) std::this_thread::yield();
  t.Start();  // joins the ended thread first
  ASSERT_TRUE(ran.WaitOne(10000));
  t.WaitForStop();
  EXPECT_EQ(t.runs.load(), 2);
  EXPECT_EQ(t.Result(), 2);
}

TEST(ThreadTest, NameChangesOnlyBeforeTheFirstStart) {
  ScriptedThread t([](ScriptedThread&) { return 0; });
  EXPECT_EQ(t.GetName(), "scripted");
  EXPECT_TRUE(t.SetName("other"));
  EXPECT_EQ(t.GetName(), "other");
  t.Start();
  t.WaitForStop();
  EXPECT_FALSE(t.SetName("late"));
  EXPECT_EQ(t.GetName(), "other");
}

TEST(ThreadTest, StopRequestedBeforeStartIsSeenAtOnce) {
  std::atomic<bool> sawStop{false};
  ScriptedThread t([&](ScriptedThread& self) {
    sawStop = self.StopWasRequested();
    return 0;
  });
  t.RequestToStop();
  t.Start();
  t.WaitForStop();
  EXPECT_TRUE(sawStop);
}

TEST(ThreadTest, KillWaitsForTheBodyWithoutStoppingIt) {
  KVO::WaitHandle release(false, false);
  KVO::WaitHandle started(false, false);
  ScriptedThread t([&](ScriptedThread& self) {
    started.Set();
    release.WaitOne();
    return self.StopWasRequested() ? 1 : 0;
  });
  t.Start();
  ASSERT_TRUE(started.WaitOne(10000));
  std::thread releaser([&] { release.Set(); });
  t.Kill();
  releaser.join();
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.Result(), 0);  // Kill did not request a stop
}

TEST(ThreadTest, KillOnANeverStartedThreadReturns) {
  ScriptedThread t([](ScriptedThread&) { return 0; });
  t.Kill();
  EXPECT_FALSE(t.IsRunning());
}

// The destructor asks a running body to stop, then sleeps the whole grace
// period before it joins.
class GraceThread : public KVO::Thread {
 public:
  explicit GraceThread(int graceMs, KVO::WaitHandle& started)
      : KVO::Thread("grace", graceMs, false), started_(started) {}

 protected:
  // Touches no member of its own after announcing itself: the base
  // destructor joins after this class's members are gone.
  int ThreadMain() override {
    started_.Set();
    while (!stopRequested) std::this_thread::yield();
    return 0;
  }

 private:
  KVO::WaitHandle& started_;
};

TEST(ThreadTest, DestructorSleepsTheGracePeriodThenJoins) {
  KVO::WaitHandle started(false, false);
  auto t = std::make_unique<GraceThread>(300, started);
  t->Start();
  ASSERT_TRUE(started.WaitOne(10000));
  const auto before = Clock::now();
  t.reset();
  const double elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
  EXPECT_GE(elapsedMs, 299.0);
}

TEST(ThreadTest, DestructorWithoutGraceStopsAndJoins) {
  for (int grace : {0, -1}) {
    KVO::WaitHandle started(false, false);
    auto t = std::make_unique<GraceThread>(grace, started);
    t->Start();
    ASSERT_TRUE(started.WaitOne(10000));
    t.reset();  // would hang if the stop were not requested
  }
}

TEST(ThreadTest, DestructorJoinsAnEndedUnjoinedRun) {
  KVO::WaitHandle started(false, false);
  auto t = std::make_unique<GraceThread>(60000, started);
  t->RequestToStop();
  t->Start();
  ASSERT_TRUE(started.WaitOne(10000));
  while (t->IsRunning()) std::this_thread::yield();
  t.reset();  // no grace sleep: the body has already ended
}

TEST(ThreadTest, PriorityIsStoredOnly) {
  ScriptedThread t([](ScriptedThread&) { return 0; });
  t.SetPriority(KVO::Thread::kPriorityHigh);
  t.Start();
  t.WaitForStop();
  KVO::SetDebugThreadName("x");
  t.THREAD_SetName();
  EXPECT_EQ(t.GetName(), "scripted");
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
