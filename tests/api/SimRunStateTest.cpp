// The simulator's run state under host behaviour that the public interface
// cannot stage or observe on its own: calls racing from several threads, a
// stop from the worker's thread and a wall clock set back. The core archive
// is linked to reach the state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "OfferCounter.h"
#include "TolvenixUtilities.h"
#include "api/SimState.h"
#include "runtime/PerformanceTimer.h"

namespace {

void OnPayload(TargetPayloadBase*) {}

// A run that is not active has no worker; a worker without a run would offer
// freed buffers and outlive every SIMStop.
bool WorkerOnlyWithARun() {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() || inputPayloadThread == nullptr;
}

TEST(SimRunState, AStopThatFoundNoRunLeavesARunStartedMeanwhile) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  // One thread starts runs, one stops them, one watches the state between.
  std::atomic<bool> done{false};
  std::atomic<int> orphaned{0};
  std::thread stopper([&] {
    while (!done.load()) SIMStop();
  });
  std::thread watcher([&] {
    while (!done.load()) {
      if (!WorkerOnlyWithARun()) orphaned.fetch_add(1);
    }
  });
  int started = 0;
  while (started < 2000 && orphaned.load() == 0) {
    if (SIMStart(API_INSTANCE_LAND, 16, 16, 1, &OnPayload, nullptr, nullptr)) ++started;
  }
  done.store(true);
  stopper.join();
  watcher.join();
  SIMStop();
  EXPECT_EQ(orphaned.load(), 0) << "after " << started << " runs";
  EXPECT_TRUE(WorkerOnlyWithARun());
  EXPECT_EQ(SIMGetAPIStatus(), 9);
}

using simtest::CountOffer;
using simtest::Offers;

// The wall clock stepped back two minutes since the last offer: the worker
// must still offer within one period, not sleep the two minutes as well.
TEST(SimRunState, AClockSetBackDoesNotStretchThePacing) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  // No worker runs now; a payload run keeps this offer time.
  timeAtInputCallback = KVO::PerformanceTimer::GetTime_mS() + 120000.0;
  ASSERT_TRUE(SIMStart(API_INSTANCE_SAR, 16, 16, 1, &OnPayload, nullptr, nullptr));
  EXPECT_TRUE(Offers().WaitFor(1));
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
}

// The clock stepped back a day since the frame-rate figure was last
// recomputed: the figure must be recomputed a second later, not a day later.
TEST(SimRunState, AClockSetBackRestartsTheFrameRateWindow) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 16, 16, 1, &OnPayload, nullptr, nullptr));
  constexpr int kUnchanged = -7;
  const double start = KVO::PerformanceTimer::GetTime_Sec();
  {
    std::lock_guard<std::mutex> lock(simMutex);
    lastFpsUpdate = start + 86400.0;
    simFPSCount = kUnchanged;
  }
  while (KVO::PerformanceTimer::GetTime_Sec() < start + 1.5) {
    SIMProcessNextFrame(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  {
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_NE(simFPSCount, kUnchanged);
    EXPECT_GT(simFPSCount, 0);
  }
  SIMStop();
}

// A host that breaks the rule and stops the run from its ready-for-new-input
// callback must not lose the worker: the worker cannot join itself.
void StopFromTheOffer(unsigned char* buffer) {
  SIMStop();
  CountOffer(buffer);
}

TEST(SimRunState, AStopFromTheWorkerThreadLeavesTheRunToTheHost) {
  SIMStop();
  Offers().Reset();
  SIMRegisterReadyForNewInputCallback(&StopFromTheOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 16, 16, 1, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(Offers().WaitFor(1));
  {
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_TRUE(SimRunIsActive());
    EXPECT_NE(inputPayloadThread, nullptr) << "the worker was let go";
  }
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  EXPECT_TRUE(WorkerOnlyWithARun());
  EXPECT_EQ(SIMGetAPIStatus(), 9);
}

}  // namespace
