// Frame hand-back and the synthetic target, as a host sees them: only the
// public header and the shared library.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::ContextOf;
using simtest::HandBack;
using simtest::Log;
using simtest::Report;

using SimFrames = simtest::SimTest;

std::vector<Report> RunTargets(int width, int height, int calls) {
  EXPECT_TRUE(simtest::StartTargets(API_INSTANCE_LAND, width, height));
  return HandBack(calls);
}

TEST_F(SimFrames, EachCallIsReportedFourCallsLaterWithItsContextAndTheBoxStartsAt21) {
  ASSERT_TRUE(simtest::StartTargets());
  std::vector<int> lags{SIMGetFrameLag()};
  for (uintptr_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Log().Size(), 0u) << i;
    SIMProcessNextFrame(i == 1 ? nullptr : ContextOf(100 + i));
    lags.push_back(SIMGetFrameLag());
  }
  EXPECT_EQ(lags, (std::vector<int>{5, 1, 2, 3, 4, 4}));
  const std::vector<Report> reports = HandBack(2, 105);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].context, ContextOf(100));
  EXPECT_EQ(reports[1].context, nullptr);
  EXPECT_EQ(reports[2].context, ContextOf(102));
  for (const Report& r : reports) EXPECT_EQ(r.targets.size(), 1u);
  // The first report: the box one step from its start.
  const TARGET& t = reports[0].targets.at(0);
  EXPECT_EQ((std::vector<int>{static_cast<int>(t.id), t.left, t.bottom, t.right, t.top}),
            (std::vector<int>{1, 21, 21, 41, 41}));
  EXPECT_TRUE(t.confidence >= 30 && t.confidence <= 99) << t.confidence;
  // Neither quotient is whole: an integer division would show.
  EXPECT_DOUBLE_EQ(t.value1, 480.0 / 21.0);
  EXPECT_DOUBLE_EQ(t.value2, 640.0 / 21.0);
  EXPECT_STREQ(t.text, "n/a");
  for (size_t i = std::strlen("n/a"); i < sizeof t.text; ++i) EXPECT_EQ(t.text[i], 0) << i;
  EXPECT_EQ(t.reserved0, 0u);
  for (uint8_t b : t.reserved1) EXPECT_EQ(b, 0);
  for (uint8_t b : t.reserved2) EXPECT_EQ(b, 0);
}

// The box starts at (21, 21), moves one pixel up and right per report and
// turns at the margins: width - 39 on the right, height - 39 at the top, 19 on
// the left and bottom.
TEST_F(SimFrames, TheTargetBouncesOffTheMarginsAndTurnsTwiceInACorner) {
  const struct {
    int width, height, report, left, bottom;
  } kCheckpoints[] = {
      {100, 480, 41, 61, 61},  {100, 480, 42, 60, 62},                           // right margin
      {100, 480, 83, 19, 103}, {100, 480, 84, 20, 104},                          // left margin
      {640, 100, 41, 61, 61},  {640, 100, 42, 62, 60},                           // top margin
      {100, 100, 41, 61, 61},  {100, 100, 42, 60, 60},  {100, 100, 43, 59, 59},  // corner
  };
  for (const auto& c : kCheckpoints) {
    const std::vector<Report> reports = RunTargets(c.width, c.height, 4 + c.report);
    ASSERT_EQ(reports.size(), static_cast<size_t>(c.report));
    const TARGET& t = reports.back().targets.at(0);
    EXPECT_EQ((std::vector<int>{t.left, t.bottom, t.right - t.left, t.top - t.bottom}),
              (std::vector<int>{c.left, c.bottom, 20, 20}))
        << c.width << "x" << c.height << " report " << c.report;
    SIMStop();
  }
}

// Replays the documented rand() draws: one per moving frame (confidence), two
// per parked frame (test, confidence), six with a respawn (test > 950, lifetime,
// direction, x, y, confidence). The seed makes parked frames draw both 950 (no
// respawn) and 951 (respawn) within the run.
TEST_F(SimFrames, RespawnsFollowTheDocumentedDrawsOfASeededRand) {
  constexpr int kWidth = 640;
  constexpr int kHeight = 480;
  constexpr unsigned kSeed = 150168;
  std::srand(kSeed);
  const std::vector<Report> reports = RunTargets(kWidth, kHeight, 4 + 760);
  std::srand(kSeed);
  int lifetime = 100;
  int direction = -1;  // drawn by the last respawn, until its first move
  unsigned id = 1;
  bool drew950 = false, drew951 = false;
  const TARGET* previous = nullptr;
  for (const Report& r : reports) {
    const TARGET& t = r.targets.at(0);
    if (lifetime >= 1) {
      --lifetime;
      // Away from the margins the first move follows the drawn direction.
      if (direction >= 0 && previous->left > 21 && previous->left < kWidth - 41 &&
          previous->bottom > 21 && previous->bottom < kHeight - 41) {
        EXPECT_EQ(t.left - previous->left, direction < 2 ? 1 : -1) << id;
        EXPECT_EQ(t.bottom - previous->bottom, direction % 2 == 0 ? 1 : -1) << id;
      }
      direction = -1;
    } else if (const int test = std::rand() % 1000; test > 950) {
      ++id;
      drew951 |= test == 951;
      lifetime = std::rand() % 300 + 300;
      direction = std::rand() % 4;
      EXPECT_EQ(t.left, std::rand() % (kWidth - 40) + 20) << id;
      EXPECT_EQ(t.bottom, std::rand() % (kHeight - 40) + 20) << id;
    } else {
      drew950 |= test == 950;
      EXPECT_EQ(t.left, previous->left);
      EXPECT_EQ(t.bottom, previous->bottom);
    }
    ASSERT_EQ(t.id, id) << "the draws went out of step";
    ASSERT_EQ(t.confidence, std::rand() % 70 + 30) << "the draws went out of step";
    previous = &t;
  }
  EXPECT_TRUE(drew950 && drew951 && id >= 4) << "the seed no longer reaches the threshold";
}

// The respawn draws must not take a remainder by zero or a negative range.
TEST_F(SimFrames, NarrowRunsOfTwentyThousandFramesEndNormally) {
  std::srand(99);
  for (int size : {30, 40}) {
    const std::vector<Report> reports = RunTargets(size, size, 20000 + 4);
    ASSERT_EQ(reports.size(), 20000u);
    EXPECT_GT(reports.back().targets[0].id, 1u) << "respawns happened";
    for (const Report& r : reports) {
      EXPECT_EQ(r.targets[0].right - r.targets[0].left, 20);
      EXPECT_FALSE(std::isnan(r.targets[0].value1) || std::isnan(r.targets[0].value2));
    }
    SIMStop();
    // The same geometry through a payload run.
    ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_LAND, size, size));
    EXPECT_EQ(HandBack(20000 + 4).size(), 20000u);
    SIMStop();
  }
}

// Without a run a hand-back does nothing. Null status and hint pointers and
// null result callbacks are skipped.
TEST_F(SimFrames, StatusIsWrittenOnlyDuringARunAndNullPointersAreSkipped) {
  const auto kUnset = static_cast<APIProcessNextFrameStatusCode_Enum>(77);
  auto status = kUnset;
  SIMProcessNextFrame(nullptr, &status);
  SIMProcessNextFrame(nullptr, &status, nullptr);
  EXPECT_EQ(status, kUnset);
  EXPECT_TRUE(HandBack(10).empty());
  EXPECT_EQ(SIMGetFrameLag(), 0);
  APIMaritimeHorizonHint hint{1, 2};
  for (bool payload : {false, true}) {
    ASSERT_TRUE(payload ? simtest::StartPayload(API_INSTANCE_LAND, 64, 64, nullptr)
                        : simtest::StartTargets(API_INSTANCE_LAND, 64, 64, nullptr));
    SIMProcessNextFrame(nullptr, &status);
    EXPECT_EQ(status, 0u);
    status = kUnset;
    SIMProcessNextFrame(nullptr, &status, &hint);
    EXPECT_EQ(status, 0u);
    status = kUnset;
    SIMProcessNextFrame(nullptr, nullptr);
    SIMProcessNextFrame(nullptr, nullptr, nullptr);
    HandBack(10);  // null result callbacks are skipped
    EXPECT_EQ(SIMGetFrameLag(), 4);
    SIMStop();
  }
}

void SlowTargets(void*, unsigned int, TARGET*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST_F(SimFrames, LatencyCoversTheResultCallbackAndCarriesIntoTheNextRun) {
  ASSERT_TRUE(simtest::StartTargets(API_INSTANCE_LAND, 64, 64, &SlowTargets));
  HandBack(5);
  API_State state{};
  ASSERT_TRUE(SIMGetAPIState(&state));
  EXPECT_GE(static_cast<int>(state.latency_mS), 29);  // a lower bound only
  SIMStop();
  // The figures are kept until the next run's frames replace them.
  ASSERT_TRUE(simtest::StartPayload(API_INSTANCE_SAR, 64, 64));
  API_State next{};
  ASSERT_TRUE(SIMGetAPIState(&next));
  EXPECT_EQ(static_cast<int>(next.latency_mS), static_cast<int>(state.latency_mS));
  EXPECT_EQ(static_cast<int>(next.fps), static_cast<int>(state.fps));
}

}  // namespace
