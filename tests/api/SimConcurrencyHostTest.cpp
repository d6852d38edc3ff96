// Three host threads at once, through the shared library only: the worker
// drives frames from the ready-for-new-input callback, one thread calls
// setters and queries in a loop, and one starts and stops runs. Under
// ThreadSanitizer and AddressSanitizer a race, a leak or a deadlock fails it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kRuns = 12;
constexpr size_t kReportsPerRun = 3;

simtest::SharedList<size_t> reports;

void FillAndHandBack(unsigned char* buffer) {
  if (buffer != nullptr) std::memset(buffer, 0x5A, kWidth * kHeight);
  simtest::CountOffer(buffer);
  SIMProcessNextFrame(buffer);
}

// Result callbacks run under the simulator's lock: they read and count.
void OnTargets(void*, unsigned int count, TARGET* targets) {
  reports.Add(count > 0 ? targets[0].id : 0);
}

// Reads the trails, which the frame thread rebuilds under the same lock.
void OnPayload(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  size_t points = 0;
  for (unsigned long i = 0; i < payload->breadcrumbs.size(); ++i) {
    points += payload->breadcrumbs[i].xs.size();
  }
  reports.Add(points);
}

void CallSettersAndQueries(const std::atomic<bool>& done) {
  std::vector<unsigned char> overlay(kWidth * kHeight, 0);
  API_State state;
  API_RemoteStatus remote;
  for (int i = 0; !done.load(); ++i) {
    SIMSetFpsCap(30);
    SIMSetMGRSPrecision(i % 12 - 5);
    SIMSetSensitivity(static_cast<API_TypeEnum>(i % 4), i);
    SIMSetDesiredBreadcrumbTrailLength(i % 4);
    SIMSetAutoBorder(i % 2 == 0);
    SIMConfigureStabilizationTransform(i % 21);
    SIMSetupHorizon(true, 1, 2, 3, 4);
    SIMSetTargetPositionPrediction(i);
    SIMSetDEM(nullptr, i, API_GEOLOC_METHOD_DEFAULT);
    SIMUpdateMetadata(0, nullptr);
    if (i % 3 == 0) {
      SIMSetOverlay(overlay.data());
    } else if (i % 3 == 1) {
      SIMSetBorderMask(1, 1, kWidth / 2, kHeight / 2);
    } else {
      SIMClearBorderMaskAndOverlay();
    }
    SIMGetAPIState(&state);
    SIMGetRemoteStatus(&remote);
    SIMGetMaxSensitivity(API_TYPE_LAND);
    SIMGetAPIStatus();
    SIMGetAvgConfidenceLevel();
    SIMGetFrameLag();
    SIMGetNextFrameBuffer();
    std::this_thread::yield();
  }
}

TEST(SimConcurrency, FramesSettingsAndRestartsRunTogether) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(&FillAndHandBack);
  std::atomic<bool> done{false};
  std::thread settings(CallSettersAndQueries, std::cref(done));
  int completedRuns = 0;
  std::thread starter([&] {
    for (int run = 0; run < kRuns; ++run) {
      const size_t before = reports.Size();
      const API_InstanceTypeEnum type =
          run % 2 == 0 ? API_INSTANCE_LAND : API_INSTANCE_MARITIME_ALT;
      const bool started = run % 3 == 0
                               ? SIMStart(type, kWidth, kHeight, 1, &OnTargets)
                               : SIMStart(type, kWidth, kHeight, 1, &OnPayload, nullptr, nullptr);
      if (!started) break;
      const bool reported = reports.WaitFor(before + kReportsPerRun);
      SIMStop();
      if (!reported) break;
      ++completedRuns;
    }
  });
  starter.join();
  done.store(true);
  settings.join();
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);

  EXPECT_EQ(completedRuns, kRuns);
  EXPECT_GE(simtest::Offers().Size(), kRuns * (4 + kReportsPerRun));
  EXPECT_EQ(SIMGetAPIStatus(), 9);
}

}  // namespace
