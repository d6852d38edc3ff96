// Allocation failures inside the simulator: the start of a run, the overlay
// copy and the payload of a processed frame. The binary replaces the global
// allocation functions so that it can make chosen allocations fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

// Armed per thread, so only the calls under test see failures.
thread_local bool failEveryAllocation = false;
thread_local std::size_t failAllocationOfBytes = 0;
// Counts allocations down; the one that brings it to 0 fails (once).
thread_local int allocationsUntilFailure = 0;

void* Allocate(std::size_t bytes) {
  if (failEveryAllocation || (failAllocationOfBytes != 0 && bytes == failAllocationOfBytes)) {
    throw std::bad_alloc();
  }
  if (allocationsUntilFailure > 0 && --allocationsUntilFailure == 0) throw std::bad_alloc();
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t bytes) { return Allocate(bytes); }
void* operator new[](std::size_t bytes) { return Allocate(bytes); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using simtest::ContextOf;
using simtest::HandBack;
using simtest::Log;
using simtest::Offers;

class SimAllocationFailure : public simtest::SimTest {
 protected:
  void TearDown() override {
    failEveryAllocation = false;
    failAllocationOfBytes = 0;
    allocationsUntilFailure = 0;
    SimTest::TearDown();
  }
  static void StartPayloadRun(int width, int height) {
    ASSERT_TRUE(
        SIMStart(API_INSTANCE_LAND, width, height, 1, &simtest::OnPayload, nullptr, nullptr));
  }
};

TEST_F(SimAllocationFailure, AFailedOverlayCopyLeavesTheOverlayOff) {
  constexpr int kWidth = 97;
  constexpr int kHeight = 89;
  std::vector<unsigned char> overlay(kWidth * kHeight, 0);
  StartPayloadRun(64, 48);
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  SIMStop();

  // Another geometry: the copy must reallocate, and that allocation fails.
  StartPayloadRun(kWidth, kHeight);
  {
    std::lock_guard<std::mutex> lock(simMutex);
    overlayInUse = true;  // as if the old overlay were still in use
  }
  failAllocationOfBytes = kWidth * kHeight;
  EXPECT_THROW(SIMSetOverlay(overlay.data()), std::bad_alloc);
  failAllocationOfBytes = 0;
  {
    std::lock_guard<std::mutex> lock(simMutex);
    EXPECT_FALSE(overlayInUse);
    EXPECT_EQ(simOverlay.begin, nullptr);
  }
  // Frames go on, decided by the whole-frame rectangle instead.
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  HandBack(6);
  EXPECT_EQ(Log().Take().size(), 2u);

  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  std::lock_guard<std::mutex> lock(simMutex);
  EXPECT_TRUE(overlayInUse);
  EXPECT_NE(simOverlay.begin, nullptr);
}

TEST_F(SimAllocationFailure, AFailedPayloadKeepsTheRingInStepAndWakesTheWorker) {
  SIMRegisterReadyForNewInputCallback(&simtest::CountOffer);
  StartPayloadRun(64, 48);
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  ASSERT_TRUE(Offers().WaitFor(1));
  for (uintptr_t i = 1; i <= 4; ++i) {
    SIMProcessNextFrame(ContextOf(i));
    ASSERT_TRUE(Offers().WaitFor(i + 1));
  }
  failEveryAllocation = true;
  EXPECT_THROW(SIMProcessNextFrame(ContextOf(5)), std::bad_alloc);
  failEveryAllocation = false;
  EXPECT_TRUE(Offers().WaitFor(6)) << "the worker was woken";
  EXPECT_EQ(SIMGetFrameLag(), 4);
  EXPECT_EQ(Log().Size(), 0u);

  // The frame of call 1 was lost; call 6 reports call 2's.
  SIMProcessNextFrame(ContextOf(6));
  const std::vector<simtest::Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].context, ContextOf(2));
}

// Fails each allocation of SIMStart in turn (buffers, context ring, worker,
// its thread) until a start succeeds: every failed attempt leaves the
// simulator not started, holding nothing, with the lock free and the kept
// variables as they were.
TEST_F(SimAllocationFailure, EveryFailedAllocationInStartLeavesTheSimulatorStopped) {
  SIMRegisterReadyForNewInputCallback(&simtest::CountOffer);
  StartPayloadRun(64, 48);
  ASSERT_TRUE(SIMSetBorderMask(3, 4, 5, 6));
  SIMStop();
  Offers().Take();
  const double offerTime = timeAtInputCallback;
  const double fpsUpdate = lastFpsUpdate;

  int failures = 0;
  bool started = false;
  for (int n = 1; n <= 100 && !started; ++n) {
    allocationsUntilFailure = n;
    try {
      started = SIMStart(API_INSTANCE_LAND, 97, 89, 3, &simtest::NoTargets);
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    allocationsUntilFailure = 0;
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
