// The simulator's run state under conditions the public interface cannot stage
// or observe on its own: calls racing from several threads, a stop from the
// worker's thread, a wall clock set back, counters near the top of their
// range and failed allocations. The core archive is linked to reach the state.
#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"
#include "api/SimLifecycle.h"
#include "api/SimState.h"
#include "runtime/PerformanceTimer.h"
#include "tests/support/AllocationFailure.h"

namespace {

using simtest::ContextOf;
using simtest::CountOffer;
using simtest::HandBack;
using simtest::Log;
using simtest::Offers;
using SimRunState = simtest::SimTest;

bool StartSmallRun(API_InstanceTypeEnum type = API_INSTANCE_LAND) {
  return simtest::StartPayload(type, 16, 16, &simtest::NoPayload);
}

// A worker without a run would offer freed buffers and outlive every SIMStop.
bool WorkerOnlyWithARun() {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() || inputPayloadThread == nullptr;
}

TEST_F(SimRunState, AStopThatFoundNoRunLeavesARunStartedMeanwhile) {
  // One thread starts runs, two stop them, often the same run at once (the
  // worker must be joined and freed once), one watches the state between.
  std::atomic<bool> done{false};
  std::atomic<int> orphaned{0};
  auto stop = [&] {
    while (!done.load()) SIMStop();
  };
  std::thread stopper(stop), secondStopper(stop);
  std::thread watcher([&] {
    while (!done.load()) {
      if (!WorkerOnlyWithARun()) orphaned.fetch_add(1);
    }
  });
  int started = 0;
  while (started < 2000 && orphaned.load() == 0) started += StartSmallRun();
  done.store(true);
  stopper.join();
  secondStopper.join();
  watcher.join();
  SIMStop();
  EXPECT_EQ(orphaned.load(), 0) << "after " << started << " runs";
  EXPECT_TRUE(WorkerOnlyWithARun());
}

// The wall clock stepped back two minutes since the last offer: the worker
// must still offer within one period, not sleep the two minutes as well.
TEST_F(SimRunState, AClockSetBackDoesNotStretchThePacing) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  // No worker runs now; a payload run keeps this offer time.
  timeAtInputCallback = KVO::PerformanceTimer::GetTime_mS() + 120000.0;
  ASSERT_TRUE(StartSmallRun(API_INSTANCE_SAR));
  EXPECT_TRUE(Offers().WaitFor(1));
}

// The worker sleeps only what remains of the period since the last offer,
// computed from clock readings the test chooses: no timing involved.
TEST(SimOfferPacing, TheWorkerSleepsOnlyWhatRemainsOfThePeriod) {
  const double kLastOfferMs = 1.7e12;  // a present-day GetTime_mS() reading
  const struct {
    double periodMs, sinceLastOfferMs;
    int64_t waitMs;
  } kCases[] = {
      {1000.0 / 30, 10.0, 23},  // 33.3 - 10, truncated
      {100.0, 0.0, 100},        // offered again at once: the whole period
      {100.0, 37.5, 62},        // part of the period gone
      {100.0, 99.5, 0},         // under a millisecond left: no sleep
      {100.0, 250.0, 0},        // a slow host is offered at once
      {100.0, -120000.0, 100},  // a clock set back: one period at most
      {1000.0, 0.0, 0},         // a period of a second or more paces nothing
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(SimOfferWaitMs(c.periodMs, kLastOfferMs + c.sinceLastOfferMs, kLastOfferMs), c.waitMs)
        << c.periodMs << " ms period, " << c.sinceLastOfferMs << " ms since the last offer";
  }
}

// One more frame after ten counted in a window that began `startSec` from
// now: the figure, and the frames counted afterwards.
TEST_F(SimRunState, TheFrameRateWindowClosesAfterASecondAndRestartsAfterAClockSetBack) {
  ASSERT_TRUE(StartSmallRun());
  constexpr int kUnchanged = -7;
  // Window starts relative to now; the last lies a day ahead: a clock set back.
  for (const double startOffsetSec : {-0.2, -2.5, 86400.0}) {
    double startSec = 0.0;
    {
      std::lock_guard<std::mutex> lock(simMutex);
      startSec = KVO::PerformanceTimer::GetTime_Sec() + startOffsetSec;
      lastFpsUpdate = startSec;
      framesSinceLastFpsUpdate = 10;
      simFPSCount = kUnchanged;
    }
    SIMProcessNextFrame(nullptr);
    std::lock_guard<std::mutex> lock(simMutex);
    const double nowSec = KVO::PerformanceTimer::GetTime_Sec();
    const double elapsedSec = nowSec - startSec;
    EXPECT_LE(lastFpsUpdate, nowSec) << startOffsetSec;
    if (elapsedSec < 0.0) {  // restarted, nothing measured
      EXPECT_EQ(simFPSCount, kUnchanged);
      EXPECT_EQ(framesSinceLastFpsUpdate, 0);
    } else if (elapsedSec < 1.0) {  // still open, however slow the machine
      EXPECT_EQ(simFPSCount, kUnchanged) << startOffsetSec;
      EXPECT_EQ(framesSinceLastFpsUpdate, 11) << startOffsetSec;
    } else {  // closed: 11 frames over at least -startOffsetSec, at most elapsedSec
      EXPECT_GE(simFPSCount, static_cast<int>(11 / elapsedSec)) << startOffsetSec;
      EXPECT_LE(simFPSCount, static_cast<int>(11 / std::max(1.0, -startOffsetSec)));
      EXPECT_EQ(framesSinceLastFpsUpdate, 0) << startOffsetSec;
    }
  }
}

// Cancel answers only for the buffer offered. Inside the offer no other wake
// can be under way, so a signalled handle can only come from a cancel.
void CancelTheOffer(unsigned char* buffer) {
  EXPECT_FALSE(SIMCancelFrameBuffer(nullptr));
  EXPECT_FALSE(SIMCancelFrameBuffer(buffer + 1));
  EXPECT_TRUE(SIMCancelFrameBuffer(buffer));
  EXPECT_EQ(SIMGetNextFrameBuffer(), buffer);
  EXPECT_FALSE(inputCallbackWaitHandle.WaitOne(0)) << "a cancel woke the worker";
  CountOffer(buffer);
}

TEST_F(SimRunState, CancellingTheOfferedBufferWakesNobody) {
  SIMRegisterReadyForNewInputCallback(&CancelTheOffer);
  ASSERT_TRUE(StartSmallRun());
  ASSERT_TRUE(Offers().WaitFor(1));
}

// A host that breaks the rule and stops the run from its ready-for-new-input
// callback must not lose the worker: the worker cannot join itself.
void StopFromTheOffer(unsigned char* buffer) {
  SIMStop();
  CountOffer(buffer);
}

TEST_F(SimRunState, AStopFromTheWorkerThreadLeavesTheRunToTheHost) {
  SIMRegisterReadyForNewInputCallback(&StopFromTheOffer);
  ASSERT_TRUE(StartSmallRun());
  ASSERT_TRUE(Offers().WaitFor(1));
  {
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_TRUE(SimRunIsActive());
    EXPECT_NE(inputPayloadThread, nullptr) << "the worker was let go";
  }
  SIMStop();
  EXPECT_TRUE(WorkerOnlyWithARun());
}

// A target at or below the left or bottom margin that still moves away from
// it (no public call leads there) is put at the far side, W - 40 or H - 40,
// keeping its direction.
TEST_F(SimRunState, ATargetPastTheLeftOrBottomMarginMovingInwardIsPutAtTheFarSide) {
  const struct {
    int x, y, direction, left, bottom;
  } kCases[] = {
      {10, 300, 0, 600, 301},  // left margin, up and right
      {10, 300, 1, 600, 299},  // left margin, down and right
      {300, 10, 0, 301, 440},  // bottom margin, up and right
      {300, 10, 2, 299, 440},  // bottom margin, up and left
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(simtest::StartTargets(API_INSTANCE_LAND, 640, 480));
    HandBack(4);
    {
      std::lock_guard<std::mutex> lock(simMutex);
      simX = c.x;
      simY = c.y;
      simDirection = c.direction;
    }
    const std::vector<simtest::Report> reports = HandBack(1);
    ASSERT_EQ(reports.size(), 1u);
    const TARGET& t = reports[0].targets.at(0);
    EXPECT_EQ((std::vector<int>{t.left, t.bottom}), (std::vector<int>{c.left, c.bottom}))
        << c.x << ", " << c.y << " direction " << c.direction;
    {
      std::lock_guard<std::mutex> lock(simMutex);
      EXPECT_EQ(simDirection, c.direction);
    }
    SIMStop();
  }
}

TEST_F(SimRunState, TheBreadcrumbCadenceSurvivesTheTopOfTheTracker) {
  ASSERT_TRUE(simtest::StartPayload());
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay() && SIMSetDesiredBreadcrumbTrailLength(3));
  HandBack(4);
  {
    std::lock_guard<std::mutex> lock(simMutex);
    simLifetime = 1000;  // no respawn may restart the cadence
    breadCrumpCount = 0;
    targetHistoryTracker = INT_MAX - 40;
  }
  // Counted without bounds the tracker would be a multiple of 30 at frames
  // 3, 33 and 63; it reaches the top of an int at frame 40.
  const std::vector<simtest::Report> reports = simtest::HandBack(80);
  ASSERT_EQ(reports.size(), 80u);
  for (size_t k = 1; k <= reports.size(); ++k) {
    EXPECT_EQ(reports[k - 1].trails.at(0).xs.size(), (k >= 3) + (k >= 33) + (k >= 63)) << k;
  }
}

using tolvenix_test::FailAllocationNumber;
using tolvenix_test::FailAllocationsOfBytes;
using tolvenix_test::SetAllocationsFail;

class SimAllocationFailure : public simtest::SimTest {
 protected:
  void TearDown() override {
    SetAllocationsFail(false);
    FailAllocationsOfBytes(0);
    FailAllocationNumber(0);
    SimTest::TearDown();
  }
};

TEST_F(SimAllocationFailure, AFailedOverlayCopyLeavesTheOverlayOff) {
  constexpr int kWidth = 97;
  constexpr int kHeight = 89;
  std::vector<unsigned char> overlay(kWidth * kHeight, 0);
  ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_LAND, 64, 48));
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  SIMStop();

  // Another geometry: the copy must reallocate, and that allocation fails.
  ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_LAND, kWidth, kHeight));
  {
    std::lock_guard<std::mutex> lock(simMutex);
    overlayInUse = true;  // as if the old overlay were still in use
  }
  FailAllocationsOfBytes(kWidth * kHeight);
  EXPECT_THROW(SIMSetOverlay(overlay.data()), std::bad_alloc);
  FailAllocationsOfBytes(0);
  {
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_FALSE(overlayInUse);
    EXPECT_EQ(simOverlay.begin, nullptr);
  }
  // Frames go on, decided by the whole-frame rectangle instead.
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  EXPECT_EQ(HandBack(6).size(), 2u);

  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  std::lock_guard<std::mutex> lock(simMutex);
  EXPECT_TRUE(overlayInUse);
  EXPECT_NE(simOverlay.begin, nullptr);
}

TEST_F(SimAllocationFailure, AFailedPayloadKeepsTheRingInStepAndWakesTheWorker) {
  SIMRegisterReadyForNewInputCallback(&simtest::CountOffer);
  ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_LAND, 64, 48));
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  ASSERT_TRUE(Offers().WaitFor(1));
  for (uintptr_t i = 1; i <= 4; ++i) {
    SIMProcessNextFrame(ContextOf(i));
    ASSERT_TRUE(Offers().WaitFor(i + 1));
  }
  SetAllocationsFail(true);
  EXPECT_THROW(SIMProcessNextFrame(ContextOf(5)), std::bad_alloc);
  SetAllocationsFail(false);
  EXPECT_TRUE(Offers().WaitFor(6)) << "the worker was woken";
  EXPECT_EQ(SIMGetFrameLag(), 4);
  EXPECT_EQ(Log().Size(), 0u);

  // The frame of call 1 was lost; call 6 reports call 2's.
  SIMProcessNextFrame(ContextOf(6));
  const std::vector<simtest::Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].context, ContextOf(2));
}

// Every failed allocation of SIMStart, in turn, leaves the simulator stopped,
// holding nothing, its lock free and the kept variables as they were.
TEST_F(SimAllocationFailure, EveryFailedAllocationInStartLeavesTheSimulatorStopped) {
  SIMRegisterReadyForNewInputCallback(&simtest::CountOffer);
  ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_LAND, 64, 48));
  ASSERT_TRUE(SIMSetBorderMask(3, 4, 5, 6));
  SIMStop();
  Offers().Take();
  const double offerTime = timeAtInputCallback;
  const double fpsUpdate = lastFpsUpdate;

  int failures = 0;
  bool started = false;
  for (int n = 1; n <= 100 && !started; ++n) {
    FailAllocationNumber(n);
    try {
      started = SIMStart(API_INSTANCE_LAND, 97, 89, 3, &simtest::NoTargets);
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    FailAllocationNumber(0);
    if (started) break;
    // These take the lock: a lock left held would hang here.
    EXPECT_EQ(SIMGetAPIStatus(), 9) << n;
    EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr) << n;
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_EQ(inputPayloadThread, nullptr) << n;
    EXPECT_EQ(simBuffer, nullptr) << n;
    EXPECT_EQ(simContextPtr, nullptr) << n;
    EXPECT_EQ(imWidth, 0) << n;
    EXPECT_EQ(targetCallback, nullptr) << n;
    EXPECT_EQ(timeAtInputCallback, offerTime) << n;
    EXPECT_EQ(lastFpsUpdate, fpsUpdate) << n;
    EXPECT_EQ(simBorderMaskLeft, 3) << n;
    EXPECT_EQ(simBorderMaskHeight, 6) << n;
  }
  ASSERT_TRUE(started);
  EXPECT_GE(failures, 9) << "ring, buffer array, five frames, the worker and its thread";
  EXPECT_TRUE(Offers().WaitFor(1)) << "the run that finally started works";
  EXPECT_EQ(SIMGetFrameLag(), 5);
}

}  // namespace
