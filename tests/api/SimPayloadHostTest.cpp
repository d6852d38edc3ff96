// Payload reports through the shared library: the inclusion test and the
// trails. The breadcrumb count survives SIMStop: a model follows it across
// the cases of this binary, in order.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::HandBack;
using simtest::Report;
using simtest::Trail;

// The trail rules: a point (the box centre) every 30 included frames; once
// more than `limit` points were counted the history starts again empty; a
// respawn (a new id) empties it and restarts the cadence but keeps the count.
class TrailModel {
 public:
  void StartRun() {
    history_ = Trail();
    tracker_ = 0;
    id_ = 1;
  }
  Trail Next(const TARGET& t, int limit) {
    if (t.id != id_) {
      StartRun();
      id_ = t.id;
    }
    if (count_ > limit) {
      history_ = Trail();
      count_ = 0;
    }
    if (++tracker_ % 30 == 0) {
      ++count_;
      history_.xs.push_back(t.left + 10);
      history_.ys.push_back(t.bottom + 10);
    }
    history_.id = t.id;
    return history_;
  }

 private:
  Trail history_;
  int tracker_ = 0;
  int count_ = 0;  // kept across runs, like the library's
  uint32_t id_ = 1;
};

TrailModel model;

class SimPayload : public simtest::SimTest {
 protected:
  static void StartRun(API_InstanceTypeEnum type, int width = 640, int height = 480) {
    ASSERT_TRUE(simtest::StartPayload(type, width, height));
    model.StartRun();
  }

  // Checks every report of a land-family run against the trail model.
  static void ExpectTrailsFollowTheModel(const std::vector<Report>& reports, int limit = 10) {
    for (size_t k = 0; k < reports.size(); ++k) {
      const Report& r = reports[k];
      if (r.targets.empty()) {
        EXPECT_TRUE(r.trails.empty()) << k;
        continue;
      }
      ASSERT_EQ(r.trails.size(), 1u) << k;
      const Trail expected = model.Next(r.targets[0], limit);
      EXPECT_EQ(r.trails[0].id, r.targets[0].id) << k;
      EXPECT_EQ(r.trails[0].xs, expected.xs) << k;
      EXPECT_EQ(r.trails[0].ys, expected.ys) << k;
    }
  }
};

// First in the binary: no run has set the border-mask rectangle yet, and a
// payload run does not set it, so the first frame that needs it makes it the
// whole frame: every target is included.
TEST_F(SimPayload, AtLoadTheBorderMaskBecomesTheWholeFrameWhenFirstNeeded) {
  StartRun(API_INSTANCE_SAR);  // outside the land family: no trail counted
  const std::vector<Report> reports = HandBack(4 + 120);
  ASSERT_EQ(reports.size(), 120u);
  for (const Report& r : reports) EXPECT_EQ(r.targets.size(), 1u);
}

// The breadcrumb count is still at its load-time 0 and stays within the limit
// over both land runs.
TEST_F(SimPayload, OnlyTheLandFamilyGetsATrailPointEveryThirtyFrames) {
  for (uint32_t type : {0u, 1u, 2u, 8u, 9u, 10u}) {
    const bool land = type == 0 || type == 8;
    StartRun(simtest::Type(type));
    ASSERT_TRUE(SIMClearBorderMaskAndOverlay());  // whole frame: all included
    const std::vector<Report> reports = HandBack(4 + 95, 500);
    SIMStop();
    ASSERT_EQ(reports.size(), 95u);
    for (size_t k = 0; k < reports.size(); ++k) {
      EXPECT_EQ(reports[k].context, simtest::ContextOf(500 + k));
      ASSERT_EQ(reports[k].targets.size(), 1u);
      ASSERT_EQ(reports[k].trails.size(), land ? 1u : 0u) << type;
      if (land) {
        EXPECT_EQ(reports[k].trails[0].xs.size(), (k + 1) / 30) << k;
      }
    }
    if (!land) continue;
    // The centres of frames 30, 60 and 90, oldest first.
    EXPECT_EQ(reports.back().trails[0].xs, (std::vector<int>{60, 90, 120}));
    EXPECT_EQ(reports.back().trails[0].ys, (std::vector<int>{60, 90, 120}));
    ExpectTrailsFollowTheModel(reports);
  }
}

// 8000 frames pass every limit but 200 several times over.
TEST_F(SimPayload, TrailsNeverHoldMoreThanOnePointPastTheLimit) {
  std::srand(2024);
  const struct { int selector, limit; } kLengths[] = {{0, 10}, {1, 20}, {2, 50}, {7, 200}};
  for (const auto& length : kLengths) {
    StartRun(API_INSTANCE_LAND_ALT);
    ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
    ASSERT_TRUE(SIMSetDesiredBreadcrumbTrailLength(length.selector));
    const std::vector<Report> reports = HandBack(4 + 8000);
    // Below 200 the limit is reached: the history is dropped within a life.
    size_t longest = 0;
    bool restarted = false;
    for (size_t k = 1; k < reports.size(); ++k) {
      const size_t n = reports[k].trails.at(0).xs.size();
      longest = std::max(longest, n);
      restarted |= n == 0 && reports[k - 1].trails.at(0).xs.size() > 0 &&
                   reports[k].targets[0].id == reports[k - 1].targets[0].id;
    }
    EXPECT_LE(longest, static_cast<size_t>(length.limit + 1)) << length.selector;
    if (length.limit < 200) {
      EXPECT_TRUE(restarted) << length.selector;
    }
    ExpectTrailsFollowTheModel(reports, length.limit);
    SIMStop();
  }
}

// The first 100 reports of a run climb the diagonal x = y = 20 + k; a box is
// included when its lower-left corner lies strictly inside the rectangle.
struct MaskCase {
  int left, bottom, width, height;
};

class SimBorderMask : public SimPayload, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(SimBorderMask, IncludesExactlyTheCornersStrictlyInside) {
  const MaskCase m = GetParam();
  StartRun(API_INSTANCE_LAND);
  ASSERT_TRUE(SIMSetBorderMask(m.left, m.bottom, m.width, m.height));
  const std::vector<Report> reports = HandBack(4 + 100);
  ASSERT_EQ(reports.size(), 100u);
  for (int k = 1; k <= 100; ++k) {
    const int c = 20 + k;
    const bool inside =
        m.left < c && c < m.left + m.width && m.bottom < c && c < m.bottom + m.height;
    EXPECT_EQ(reports[k - 1].targets.size(), inside ? 1u : 0u) << c;
  }
  // The land trail advances only on included frames.
  ExpectTrailsFollowTheModel(reports);
}

INSTANTIATE_TEST_SUITE_P(Edges, SimBorderMask,
                         ::testing::Values(MaskCase{25, 0, 30, 400},        // x = 25 and 55 out
                                           MaskCase{0, 40, 600, 30},        // y = 40 and 70 out
                                           MaskCase{50, 0, 40, 400},        // a trail point out
                                           MaskCase{0, 0, 639, 479},        // largest accepted
                                           MaskCase{100, 100, -50, -50}));  // admits none

TEST_F(SimPayload, TheOverlayByteAtTheBoxCentreDecidesOverTheStoredRectangle) {
  constexpr int kWidth = 640;
  std::vector<unsigned char> overlay(kWidth * 480, 0);
  // Frame k puts the centre at (30 + k, 30 + k): block every third frame,
  // and a neighbour of one centre, which must not count.
  for (int k = 3; k <= 100; k += 3) overlay[(30 + k) * kWidth + 30 + k] = 1;
  overlay[(30 + 1) * kWidth + 30 + 2] = 255;

  StartRun(API_INSTANCE_LAND);
  ASSERT_TRUE(SIMSetBorderMask(200, 200, 10, 10));  // would admit nothing
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  std::vector<Report> reports = HandBack(4 + 100);
  ASSERT_EQ(reports.size(), 100u);
  for (int k = 1; k <= 100; ++k) {
    EXPECT_EQ(reports[k - 1].targets.size(), k % 3 == 0 ? 0u : 1u) << k;
  }
  ExpectTrailsFollowTheModel(reports);

  // The overlay was copied: changing the host's bytes changes nothing.
  std::fill(overlay.begin(), overlay.end(), 1);
  for (const Report& r : HandBack(3)) EXPECT_EQ(r.targets.size(), 1u);
  // Off again: the stored rectangle decides once more, also in the next run.
  ASSERT_TRUE(SIMSetOverlay(nullptr));
  std::vector<Report> excluded = HandBack(3);
  SIMStop();
  StartRun(API_INSTANCE_SAR);
  for (const Report& r : HandBack(4 + 10)) excluded.push_back(r);
  ASSERT_EQ(excluded.size(), 3u + 10u);
  for (const Report& r : excluded) EXPECT_TRUE(r.targets.empty());
}

// On a frame 30 pixels wide or high the box centre stays at 30 or 31 across
// it, outside the overlay: such a target is excluded, and no byte beyond the
// overlay is read (a 640 x 30 overlay has columns there, but no rows).
TEST_F(SimPayload, ACentreOutsideTheOverlayIsExcluded) {
  for (const int width : {30, 640}) {
    std::vector<unsigned char> overlay(width * 30, 0);
    StartRun(API_INSTANCE_MARITIME, width, 30);
    ASSERT_TRUE(SIMSetOverlay(overlay.data()));
    const std::vector<Report> reports = HandBack(4 + 200);
    ASSERT_EQ(reports.size(), 200u);
    for (const Report& r : reports) EXPECT_TRUE(r.targets.empty()) << width;
    SIMStop();
  }
}

}  // namespace
