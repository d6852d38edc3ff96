// Counters of the simulator near the top of their range, set directly in the
// process-wide state; the core archive is linked for that.
#include <gtest/gtest.h>

#include <climits>
#include <mutex>
#include <vector>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

std::vector<unsigned long> trailLengths;

void OnPayload(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  trailLengths.push_back(payload->breadcrumbs.size() > 0 ? payload->breadcrumbs[0].xs.size() : 0);
}

TEST(SimCounters, TheBreadcrumbCadenceSurvivesTheTopOfTheTracker) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  ASSERT_TRUE(SIMSetDesiredBreadcrumbTrailLength(3));
  for (int i = 0; i < 4; ++i) SIMProcessNextFrame(nullptr);
  {
    std::lock_guard<std::mutex> lock(simMutex);
    simLifetime = 1000;  // no respawn may restart the cadence
    breadCrumpCount = 0;
    targetHistoryTracker = INT_MAX - 40;
  }
  trailLengths.clear();
  for (int i = 0; i < 80; ++i) SIMProcessNextFrame(nullptr);
  SIMStop();

  // Counted without bounds the tracker would be a multiple of 30 at frames
  // 3, 33 and 63; it reaches the top of an int at frame 40.
  ASSERT_EQ(trailLengths.size(), 80u);
  for (size_t k = 1; k <= trailLengths.size(); ++k) {
    const unsigned long expected = (k >= 3) + (k >= 33) + (k >= 63);
    EXPECT_EQ(trailLengths[k - 1], expected) << k;
  }
}

}  // namespace
