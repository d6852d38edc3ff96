// Frame hand-back and the synthetic target, as a host sees them: only the
// public header and the shared library. The simulator is process-wide, so
// each case stops what it started.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ReportLog.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::ContextOf;
using simtest::HandBack;
using simtest::Log;
using simtest::Report;

class SimFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    SIMStop();
    SIMRegisterReadyForNewInputCallback(nullptr);
    Log().Clear();
  }
  void TearDown() override { SIMStop(); }

  // A TARGET run, `calls` frames handed back, the reports taken.
  std::vector<Report> RunTargets(int width, int height, int calls,
                                 API_InstanceTypeEnum type = API_INSTANCE_LAND) {
    EXPECT_TRUE(SIMStart(type, width, height, 1, &simtest::OnTargets));
    HandBack(calls);
    return Log().Take();
  }
};

TEST_F(SimFrames, TheFirstFourCallsOnlyQueueAndTheFifthReportsTheFirst) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, &simtest::OnTargets));
  HandBack(4, 100);
  EXPECT_EQ(Log().Size(), 0u);
  HandBack(3, 104);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 3u);
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].context, ContextOf(100 + i));
    EXPECT_EQ(reports[i].count, 1u);
  }
}

TEST_F(SimFrames, NullContextsComeBackNull) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, &simtest::OnTargets));
  for (int i = 0; i < 5; ++i) SIMProcessNextFrame(nullptr);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].context, nullptr);
}

TEST_F(SimFrames, FrameLagFollowsTheRingFilling) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, &simtest::OnTargets));
  std::vector<int> lags{SIMGetFrameLag()};
  for (int i = 0; i < 5; ++i) {
    SIMProcessNextFrame(nullptr);
    lags.push_back(SIMGetFrameLag());
  }
  EXPECT_EQ(lags, (std::vector<int>{5, 1, 2, 3, 4, 4}));
  HandBack(17);
  EXPECT_EQ(SIMGetFrameLag(), 4);
}

TEST_F(SimFrames, TheFirstReportIsTheBoxOneStepFromItsStart) {
  const std::vector<Report> reports = RunTargets(640, 480, 5);
  ASSERT_EQ(reports.size(), 1u);
  const TARGET& t = reports[0].targets.at(0);
  EXPECT_EQ(t.reserved0, 0u);
  EXPECT_EQ(t.id, 1u);
  EXPECT_EQ(t.left, 21);
  EXPECT_EQ(t.bottom, 21);
  EXPECT_EQ(t.right, 41);
  EXPECT_EQ(t.top, 41);
  EXPECT_GE(t.confidence, 30);
  EXPECT_LE(t.confidence, 99);
  EXPECT_DOUBLE_EQ(t.value1, 480.0 / 21.0);
  EXPECT_DOUBLE_EQ(t.value2, 640.0 / 21.0);
  EXPECT_STREQ(t.text, "n/a");
  for (size_t i = std::strlen("n/a"); i < sizeof t.text; ++i) {
    EXPECT_EQ(t.text[i], 0) << i;
  }
  for (uint8_t b : t.reserved1) EXPECT_EQ(b, 0);
  for (uint8_t b : t.reserved2) EXPECT_EQ(b, 0);
}

TEST_F(SimFrames, ValuesAreFloatingPointQuotients) {
  // 479 / 22 is not a whole number: an integer division would show.
  const std::vector<Report> reports = RunTargets(641, 479, 6);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_DOUBLE_EQ(reports[1].targets[0].value1, 479.0 / 22.0);
  EXPECT_DOUBLE_EQ(reports[1].targets[0].value2, 641.0 / 22.0);
}

TEST_F(SimFrames, TheTargetBouncesOffTheRightAndLeftMargins) {
  // W = 100: the right margin is 61, the left 19; H leaves y free to rise.
  const std::vector<Report> reports = RunTargets(100, 480, 4 + 90);
  ASSERT_EQ(reports.size(), 90u);
  std::vector<int> xs;
  for (const Report& r : reports) xs.push_back(r.targets[0].left);
  // Rises from 21 to 61 (report 41), falls to 19 (report 83), rises again.
  for (int k = 1; k <= 41; ++k) EXPECT_EQ(xs[k - 1], 20 + k) << k;
  for (int k = 42; k <= 83; ++k) EXPECT_EQ(xs[k - 1], 61 - (k - 41)) << k;
  EXPECT_EQ(xs[83 - 1], 19);
  EXPECT_EQ(xs[84 - 1], 20);
  for (const Report& r : reports) {
    const TARGET& t = r.targets[0];
    EXPECT_EQ(t.right - t.left, 20);
    EXPECT_EQ(t.top - t.bottom, 20);
  }
}

TEST_F(SimFrames, TheTopMarginTurnsTheTargetDown) {
  const std::vector<Report> reports = RunTargets(640, 100, 4 + 45);
  ASSERT_EQ(reports.size(), 45u);
  EXPECT_EQ(reports[40].targets[0].bottom, 61);
  EXPECT_EQ(reports[41].targets[0].bottom, 60);
  EXPECT_EQ(reports[41].targets[0].left, 62);
}

TEST_F(SimFrames, ACornerTurnsTheDirectionTwice) {
  const std::vector<Report> reports = RunTargets(100, 100, 4 + 43);
  ASSERT_EQ(reports.size(), 43u);
  EXPECT_EQ(reports[40].targets[0].left, 61);
  EXPECT_EQ(reports[40].targets[0].bottom, 61);
  // Direction 3: down and to the left.
  EXPECT_EQ(reports[41].targets[0].left, 60);
  EXPECT_EQ(reports[41].targets[0].bottom, 60);
  EXPECT_EQ(reports[42].targets[0].left, 59);
  EXPECT_EQ(reports[42].targets[0].bottom, 59);
}

TEST_F(SimFrames, TheHundredthReportIsTheLastThatMoves) {
  std::srand(7);
  const std::vector<Report> reports = RunTargets(640, 480, 4 + 130);
  ASSERT_EQ(reports.size(), 130u);
  for (int k = 1; k < 100; ++k) {
    EXPECT_NE(reports[k].targets[0].left, reports[k - 1].targets[0].left) << k;
  }
  const TARGET& last = reports[99].targets[0];
  EXPECT_EQ(last.left, 120);
  for (size_t k = 100; k < reports.size(); ++k) {
    const TARGET& t = reports[k].targets[0];
    if (t.id != 1) break;  // respawned
    EXPECT_EQ(t.left, last.left) << k;
    EXPECT_EQ(t.bottom, last.bottom) << k;
  }
}

TEST_F(SimFrames, AParkedTargetRespawnsWithTheNextIdAndANewLifetime) {
  constexpr int kWidth = 640;
  constexpr int kHeight = 480;
  std::srand(12345);
  const std::vector<Report> reports = RunTargets(kWidth, kHeight, 4 + 3000);
  ASSERT_EQ(reports.size(), 3000u);

  // Split the reports into the lives of the successive ids.
  std::vector<std::vector<TARGET>> lives;
  for (const Report& r : reports) {
    const TARGET& t = r.targets[0];
    if (lives.empty() || lives.back().back().id != t.id) {
      if (!lives.empty()) {
        EXPECT_EQ(t.id, lives.back().back().id + 1);
      }
      lives.emplace_back();
    }
    lives.back().push_back(t);
  }
  ASSERT_GE(lives.size(), 3u) << "three lives in 3000 frames are certain";

  for (size_t life = 1; life < lives.size(); ++life) {
    const std::vector<TARGET>& t = lives[life];
    // Respawned inside the frame's inner area, not moved in that frame.
    EXPECT_GE(t[0].left, 20);
    EXPECT_LE(t[0].left, kWidth - 21);
    EXPECT_GE(t[0].bottom, 20);
    EXPECT_LE(t[0].bottom, kHeight - 21);
    // A complete life moves on 300..599 frames, then parks.
    int moving = 0;
    for (size_t k = 1; k < t.size(); ++k) {
      const bool moved = t[k].left != t[k - 1].left;
      if (moved) {
        EXPECT_EQ(moving, static_cast<int>(k) - 1) << "moves only at first";
        EXPECT_NE(t[k].bottom, t[k - 1].bottom);
        ++moving;
      }
    }
    if (life + 1 < lives.size()) {
      EXPECT_GE(moving, 300) << life;
      EXPECT_LE(moving, 599) << life;
    }
  }
  for (const Report& r : reports) {
    EXPECT_GE(r.targets[0].confidence, 30);
    EXPECT_LE(r.targets[0].confidence, 99);
  }
}

class SimSmallFrames : public SimFrames, public ::testing::WithParamInterface<int> {};

TEST_P(SimSmallFrames, RunsOfTwentyThousandFramesEndNormally) {
  const int size = GetParam();
  std::srand(99);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, size, size, 1, &simtest::OnTargets));
  HandBack(20000 + 4);
  const std::vector<Report> reports = Log().Take();
  ASSERT_EQ(reports.size(), 20000u);
  EXPECT_GT(reports.back().targets[0].id, 1u) << "respawns happened";
  for (const Report& r : reports) {
    const TARGET& t = r.targets[0];
    EXPECT_EQ(t.right - t.left, 20);
    EXPECT_FALSE(std::isnan(t.value1));
    EXPECT_FALSE(std::isnan(t.value2));
  }
  SIMStop();
  // The same geometry through a payload run.
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, size, size, 1, &simtest::OnPayload, nullptr, nullptr));
  HandBack(20000 + 4);
  EXPECT_EQ(Log().Take().size(), 20000u);
}

INSTANTIATE_TEST_SUITE_P(NarrowFrames, SimSmallFrames, ::testing::Values(30, 40));

TEST_F(SimFrames, StatusOverloadsWriteZeroOnlyDuringARun) {
  APIProcessNextFrameStatusCode_Enum status = static_cast<APIProcessNextFrameStatusCode_Enum>(77);
  SIMProcessNextFrame(nullptr, &status);
  EXPECT_EQ(status, 77u);
  SIMProcessNextFrame(nullptr, &status, nullptr);
  EXPECT_EQ(status, 77u);

  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 64, 1, &simtest::OnTargets));
  SIMProcessNextFrame(nullptr, &status);
  EXPECT_EQ(status, 0u);
  status = static_cast<APIProcessNextFrameStatusCode_Enum>(77);
  APIMaritimeHorizonHint hint{1, 2};
  SIMProcessNextFrame(nullptr, &status, &hint);
  EXPECT_EQ(status, 0u);
  SIMProcessNextFrame(nullptr, nullptr);
  SIMProcessNextFrame(nullptr, nullptr, nullptr);
  EXPECT_EQ(SIMGetFrameLag(), 4);
}

TEST_F(SimFrames, HandingBackWithoutARunDoesNothing) {
  HandBack(10);
  EXPECT_EQ(Log().Size(), 0u);
  EXPECT_EQ(SIMGetFrameLag(), 0);
}

TEST_F(SimFrames, NullResultCallbacksAreSkipped) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, static_cast<TargetCallback>(nullptr)));
  HandBack(4 + 10);
  EXPECT_EQ(SIMGetFrameLag(), 4);
  SIMStop();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 640, 480, 1, static_cast<TargetPayloadCallback>(nullptr),
                       nullptr, nullptr));
  HandBack(4 + 10);
  EXPECT_EQ(SIMGetFrameLag(), 4);
  SIMStop();
  EXPECT_EQ(Log().Size(), 0u);
}

void SlowTargets(void*, unsigned int, TARGET*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST_F(SimFrames, LatencyCoversTheResultCallback) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 64, 1, &SlowTargets));
  HandBack(5);
  API_State state{};
  ASSERT_TRUE(SIMGetAPIState(&state));
  const int latency = state.latency_mS;  // packed: read by value
  EXPECT_GE(latency, 29);                // a lower bound only

  // The figures are kept for the next run until its frames replace them.
  SIMStop();
  ASSERT_TRUE(SIMStart(API_INSTANCE_SAR, 64, 64, 1, &simtest::OnPayload, nullptr, nullptr));
  API_State next{};
  ASSERT_TRUE(SIMGetAPIState(&next));
  const int keptLatency = next.latency_mS;
  const int keptFps = next.fps;
  const int fps = state.fps;
  EXPECT_EQ(keptLatency, latency);
  EXPECT_EQ(keptFps, fps);
}

}  // namespace
