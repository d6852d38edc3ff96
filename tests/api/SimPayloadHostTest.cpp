// Payload reports: the inclusion test (border mask, overlay) and the
// breadcrumb trails, through the shared library only.
//
// The breadcrumb count survives SIMStop, so this binary starts from a fresh
// process and follows the count with a model across its cases, which run in
// order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "ReportLog.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::HandBack;
using simtest::Log;
using simtest::Report;
using simtest::Trail;

// The documented trail rules: a point every 30 included frames; once more
// than `limit` points were counted the history starts again empty; a
// respawn (a new id) empties it and restarts the cadence but keeps the count.
class TrailModel {
 public:
  void StartRun() {
    Clear();
    tracker_ = 0;
    id_ = 1;
  }
  // The trail expected for an included report of a land-family run.
  Trail Next(const TARGET& t, int limit) {
    if (t.id != id_) {
      Clear();
      tracker_ = 0;
      id_ = t.id;
    }
    if (count_ > limit) {
      Clear();
      count_ = 0;
    }
    if (++tracker_ % 30 == 0) {
      ++count_;
      history_.xs.push_back(t.left + 10);
      history_.ys.push_back(t.bottom + 10);
    }
    Trail expected = history_;
    expected.id = t.id;
    return expected;
  }

 private:
  void Clear() {
    history_.xs.clear();
    history_.ys.clear();
  }

  Trail history_;
  int tracker_ = 0;
  int count_ = 0;  // kept across runs, like the library's
  uint32_t id_ = 1;
};

TrailModel& Model() {
  static TrailModel model;
  return model;
}

class SimPayload : public ::testing::Test {
 protected:
  void SetUp() override {
    SIMStop();
    SIMRegisterReadyForNewInputCallback(nullptr);
    Log().Clear();
  }
  void TearDown() override { SIMStop(); }

  void StartPayloadRun(API_InstanceTypeEnum type, int width = 640, int height = 480) {
    ASSERT_TRUE(SIMStart(type, width, height, 1, &simtest::OnPayload, nullptr, nullptr));
    Model().StartRun();
  }

  // Checks every report of a land-family run against the trail model.
  void ExpectTrailsFollowTheModel(const std::vector<Report>& reports, int limit) {
    for (size_t k = 0; k < reports.size(); ++k) {
      const Report& r = reports[k];
      ASSERT_TRUE(r.fromPayload);
      if (r.targets.empty()) {
        EXPECT_TRUE(r.trails.empty()) << k;
        continue;
      }
      ASSERT_EQ(r.trails.size(), 1u) << k;
      const Trail expected = Model().Next(r.targets[0], limit);
      EXPECT_EQ(r.trails[0].id, r.targets[0].id) << k;
      EXPECT_EQ(r.trails[0].xs, expected.xs) << k;
      EXPECT_EQ(r.trails[0].ys, expected.ys) << k;
    }
  }
};

// First in the binary: the breadcrumb count is still at its load-time 0.
TEST_F(SimPayload, TheFirstLandRunGetsATrailPointEveryThirtyFrames) {
  StartPayloadRun(API_INSTANCE_LAND);
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());  // whole frame: all included
  HandBack(4 + 95);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 95u);
  for (size_t k = 0; k < reports.size(); ++k) {
    const int frame = static_cast<int>(k) + 1;
    ASSERT_EQ(reports[k].targets.size(), 1u);
    ASSERT_EQ(reports[k].trails.size(), 1u);
    EXPECT_EQ(reports[k].trails[0].xs.size(), static_cast<size_t>(frame / 30)) << frame;
  }
  // The points are the box centres of frames 30, 60 and 90, oldest first.
  const Trail& last = reports.back().trails[0];
  EXPECT_EQ(last.xs, (std::vector<int>{60, 90, 120}));
  EXPECT_EQ(last.ys, (std::vector<int>{60, 90, 120}));
  ExpectTrailsFollowTheModel(reports, 10);
}

TEST_F(SimPayload, TrailsNeverHoldMoreThanOnePointPastTheLimit) {
  std::srand(2024);
  for (int selector : {0, 1, 2, 7}) {
    const int limit = selector == 0 ? 10 : selector == 1 ? 20 : selector == 2 ? 50 : 200;
    StartPayloadRun(API_INSTANCE_LAND_ALT);
    ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
    ASSERT_TRUE(SIMSetDesiredBreadcrumbTrailLength(selector));
    HandBack(4 + 8000);
    const std::vector<Report> reports = Log().Take();
    size_t longest = 0;
    bool restarted = false;
    for (size_t k = 1; k < reports.size(); ++k) {
      const size_t n = reports[k].trails.at(0).xs.size();
      longest = std::max(longest, n);
      if (n == 0 && reports[k - 1].trails.at(0).xs.size() > 0 &&
          reports[k].targets[0].id == reports[k - 1].targets[0].id) {
        restarted = true;
      }
    }
    EXPECT_LE(longest, static_cast<size_t>(limit + 1)) << selector;
    if (limit < 200) {
      EXPECT_TRUE(restarted) << selector;
    }
    ExpectTrailsFollowTheModel(reports, limit);
    SIMStop();
  }
}

TEST_F(SimPayload, OnlyTheLandFamilyGetsTrails) {
  for (uint32_t type : {0u, 1u, 2u, 8u, 9u, 10u}) {
    StartPayloadRun(static_cast<API_InstanceTypeEnum>(type));
    ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
    HandBack(4 + 40);
    const std::vector<Report> reports = Log().Take();
    ASSERT_EQ(reports.size(), 40u);
    const bool land = type == 0 || type == 8;
    for (const Report& r : reports) {
      ASSERT_EQ(r.targets.size(), 1u);
      EXPECT_EQ(r.trails.size(), land ? 1u : 0u) << type;
    }
    if (land) {
      ExpectTrailsFollowTheModel(reports, 10);
    }
    SIMStop();
  }
}

TEST_F(SimPayload, PayloadsCarryTheContextOfTheFrameReported) {
  StartPayloadRun(API_INSTANCE_MARITIME);
  HandBack(6, 500);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].context, simtest::ContextOf(500));
  EXPECT_EQ(reports[1].context, simtest::ContextOf(501));
}

TEST_F(SimPayload, TheRunWithoutGeometryUsesFullHdFrames) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_SAR, &simtest::OnPayload, nullptr, nullptr));
  API_State state{};
  ASSERT_TRUE(SIMGetAPIState(&state));
  const int width = state.width;  // packed: read by value
  const int height = state.height;
  const int depth = state.depth;
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  EXPECT_EQ(depth, 1);
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  HandBack(5);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_EQ(reports[0].targets.size(), 1u);
  EXPECT_DOUBLE_EQ(reports[0].targets[0].value1, 1080.0 / 21.0);
}

// The first 100 reports of a run climb the diagonal x = y = 20 + k.
struct MaskCase {
  int left, bottom, width, height;
};

class SimBorderMask : public SimPayload, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(SimBorderMask, IncludesExactlyTheCornersStrictlyInside) {
  const MaskCase m = GetParam();
  StartPayloadRun(API_INSTANCE_MARITIME);
  ASSERT_TRUE(SIMSetBorderMask(m.left, m.bottom, m.width, m.height));
  HandBack(4 + 100);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 100u);
  int included = 0;
  for (int k = 1; k <= 100; ++k) {
    const int c = 20 + k;
    const bool inside =
        m.left < c && c < m.left + m.width && m.bottom < c && c < m.bottom + m.height;
    EXPECT_EQ(reports[k - 1].targets.size(), inside ? 1u : 0u) << c;
    EXPECT_TRUE(reports[k - 1].trails.empty());
    included += inside;
  }
  if (m.width > 0) {
    EXPECT_GT(included, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Edges, SimBorderMask,
                         ::testing::Values(MaskCase{25, 0, 30, 400},        // x = 25 and x = 55 out
                                           MaskCase{0, 40, 600, 30},        // y = 40 and y = 70 out
                                           MaskCase{0, 0, 639, 479},        // largest accepted
                                           MaskCase{100, 100, -50, -50}));  // accepted, admits none

TEST_F(SimPayload, TheLandTrailAdvancesOnlyOnIncludedFrames) {
  StartPayloadRun(API_INSTANCE_LAND);
  ASSERT_TRUE(SIMSetBorderMask(50, 0, 40, 400));
  HandBack(4 + 100);
  const std::vector<Report> reports = Log().Take();
  ExpectTrailsFollowTheModel(reports, 10);
}

TEST_F(SimPayload, TheOverlayByteAtTheBoxCentreDecides) {
  constexpr int kWidth = 640;
  constexpr int kHeight = 480;
  std::vector<unsigned char> overlay(kWidth * kHeight, 0);
  // Frame k puts the centre at (30 + k, 30 + k): block every third frame.
  for (int k = 3; k <= 100; k += 3) overlay[(30 + k) * kWidth + 30 + k] = 1;
  // Neighbours of the centre do not count.
  overlay[(30 + 1) * kWidth + 30 + 2] = 255;

  StartPayloadRun(API_INSTANCE_LAND, kWidth, kHeight);
  ASSERT_TRUE(SIMSetBorderMask(200, 200, 10, 10));  // would admit nothing
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  HandBack(4 + 100);
  std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 100u);
  for (int k = 1; k <= 100; ++k) {
    EXPECT_EQ(reports[k - 1].targets.size(), k % 3 == 0 ? 0u : 1u) << k;
  }
  ExpectTrailsFollowTheModel(reports, 10);

  // The overlay was copied: changing the host's bytes changes nothing.
  std::fill(overlay.begin(), overlay.end(), 1);
  HandBack(3);
  reports = Log().Take();
  for (const Report& r : reports) EXPECT_EQ(r.targets.size(), 1u);

  // Off again: the stored rectangle decides once more.
  ASSERT_TRUE(SIMSetOverlay(nullptr));
  HandBack(3);
  for (const Report& r : Log().Take()) EXPECT_TRUE(r.targets.empty());
}

TEST_F(SimPayload, AStoppedRunLeavesTheMaskRectangleToTheNext) {
  StartPayloadRun(API_INSTANCE_SAR);
  ASSERT_TRUE(SIMSetBorderMask(500, 0, 50, 400));  // beyond the first frames
  SIMStop();
  StartPayloadRun(API_INSTANCE_SAR);
  HandBack(4 + 10);
  for (const Report& r : Log().Take()) EXPECT_TRUE(r.targets.empty());
}

// On a 30 x 30 frame the box centre stays at 30 or 31, outside the overlay:
// such a target is excluded, and no byte beyond the overlay is read.
TEST_F(SimPayload, ACentreOutsideTheOverlayIsExcluded) {
  constexpr int kSize = 30;
  std::vector<unsigned char> overlay(kSize * kSize, 0);
  StartPayloadRun(API_INSTANCE_MARITIME, kSize, kSize);
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  HandBack(4 + 200);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 200u);
  for (const Report& r : reports) EXPECT_TRUE(r.targets.empty());
}

}  // namespace
