#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/PerformanceTimer.h"
#include "tests/runtime/AllocationFailure.h"

namespace {

namespace fs = std::filesystem;
using KVO::PerformanceTimer;

// printf renderings, independent of the stream formatting the timer uses.
std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
// A summary cell: seconds shown as milliseconds, %g.
std::string Ms(double seconds) { return Printf("%g", seconds * 1000); }
std::string Fixed(double value) { return Printf("%f", value); }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Each test gets its own directory for its CSV files.
class PerformanceTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tolvenix-timer-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string Name(const std::string& base = "timing") const {
    return (directory_ / base).string();
  }
  std::string Contents(const std::string& base = "timing") const {
    std::ifstream in(Name(base) + ".csv", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool FileExists(const std::string& base = "timing") const {
    return fs::exists(Name(base) + ".csv");
  }
  // Lines after the immediate-mode header's nine rows.
  std::vector<std::string> DataLines() const {
    std::vector<std::string> lines = SplitLines(Contents());
    if (lines.size() < 9) {
      ADD_FAILURE() << "header missing";
      return {};
    }
    return std::vector<std::string>(lines.begin() + 9, lines.end());
  }

  fs::path directory_;
};

// ---------------------------------------------------------------------------
// Immediate mode

TEST_F(PerformanceTimerTest, ImmediateHeaderMatchesSpreadsheetRowsByteForByte) {
  PerformanceTimer timer(Name(), true);

  const std::string firstRow =
      "Heading,=A10,=A11,=A12,=A13,=A14,=A15,=A16,="
      "A17,=A18,=A19,=A20,=A21,=A22,=A23,=A24,"
      "=A25,=A26,=A27,=A28,=A29,\n";
  // Each statistics row's cell for a step column, '#' standing for its letter.
  const struct {
    const char* name;
    const char* cell;
  } kRows[] = {
      {"Average", "=IF(COUNTBLANK(#10:#10000)=9991;0;AVERAGE(#10:#10000)*1000)"},
      {"Min", "=IF(COUNTBLANK(#10:#10000)=9991;0;MIN(#10:#10000)*1000)"},
      {"Q1", "=IF(COUNTBLANK(#10:#10000)=9991;0;QUARTILE(#10:#10000;1)*1000)"},
      {"Q2", "=IF(COUNTBLANK(#10:#10000)=9991;0;QUARTILE(#10:#10000;2)*1000)"},
      {"Q3", "=IF(COUNTBLANK(#10:#10000)=9991;0;QUARTILE(#10:#10000;3)*1000)"},
      {"Max", "=IF(COUNTBLANK(#10:#10000)=9991;0;MAX(#10:#10000)*1000)"},
  };
  std::string expected = firstRow;
  int rowNumber = 2;
  for (const auto& row : kRows) {
    expected += std::string(row.name) + ",";
    for (char letter = 'B'; letter <= 'U'; ++letter) {
      std::string cell = row.cell;
      std::replace(cell.begin(), cell.end(), '#', letter);
      expected += cell + ",";
    }
    expected += "=SUM(B" + std::to_string(rowNumber) + ":U" + std::to_string(rowNumber) + ")\n";
    ++rowNumber;
  }
  expected += "\n\n";

  const std::string written = Contents();
  EXPECT_EQ(SplitLines(expected), SplitLines(written));
  EXPECT_TRUE(expected == written) << "line ends differ";
  EXPECT_NE(std::string::npos, written.find("\nAverage,=IF(COUNTBLANK(B10:B10000)=9991;0;AVERAGE("
                                            "B10:B10000)*1000),"));
  EXPECT_NE(std::string::npos, written.find(",=SUM(B2:U2)\nMin,"));
  EXPECT_EQ(9u, SplitLines(Contents()).size());
}

TEST_F(PerformanceTimerTest, ImmediateHeaderReplacesEarlierContent) {
  std::ofstream(Name() + ".csv") << "stale line\n";
  PerformanceTimer timer(Name(), true);
  EXPECT_EQ(0u, Contents().rfind("Heading,", 0));
  EXPECT_EQ(std::string::npos, Contents().find("stale"));
}

TEST_F(PerformanceTimerTest, FrameLapsLandInConsecutiveColumnsAfterStart) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  const double grab7 = timer.LogLap(7, "grab");
  const double detect7 = timer.LogLap(7, "detect");
  const double track7 = timer.LogLapWrite(7, "track");
  timer.Start();
  const double grab8 = timer.LogLap(8, "grab");

  const std::vector<std::string> expected = {
      "grab(7)," + Fixed(grab7),
      "detect(7),," + Fixed(detect7),
      "track(7),,," + Fixed(track7),
      "grab(8)," + Fixed(grab8),
  };
  EXPECT_EQ(expected, DataLines());
  EXPECT_GE(grab7, 0.0);
}

TEST_F(PerformanceTimerTest, AutomaticColumnStartsAtZeroBeforeStart) {
  PerformanceTimer timer(Name(), true);
  const double lap = timer.LogLapWrite(-3, "early");
  EXPECT_EQ(std::vector<std::string>{"early(-3)" + Fixed(lap)}, DataLines());
}

TEST_F(PerformanceTimerTest, LogTimeReportsSecondsSinceStartWithoutRestartingLap) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  const double first = timer.LogTime("t1", 0);
  const double second = timer.LogTime("t2", 0);
  EXPECT_LE(first, second);
  // The lap still runs from Start(): it covers both LogTime calls.
  EXPECT_GE(timer.GetLapTime(), second);
  EXPECT_EQ((std::vector<std::string>{"t1," + Printf("%g", first), "t2," + Printf("%g", second)}),
            DataLines());
}

TEST_F(PerformanceTimerTest, LabelOnlyLapWritesLabelAloneAndReturnsScaledLap) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  const double scaled = timer.LogLap("section", 3, 1000, true);
  const double plain = timer.LogLap("step", 0, 1000, false);
  EXPECT_GE(scaled, 0.0);
  EXPECT_EQ((std::vector<std::string>{"section", "step," + Fixed(plain)}), DataLines());
}

TEST_F(PerformanceTimerTest, DeleteFileEmptiesFileWhileAutomaticColumnAdvances) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  timer.LogLapWrite(1, "a");         // column 1
  timer.LogTime("DELETE_FILE", -1);  // column 2, file emptied
  EXPECT_EQ("", Contents());
  timer.LogLapWrite(1, "b");                  // column 3
  timer.LogLap("DELETE_FILE", -1, 1, false);  // column 4, file emptied
  EXPECT_EQ("", Contents());
  timer.LogLapWrite(1, "DELETE_FILE");  // column 5, file emptied
  EXPECT_EQ("", Contents());
  const double lap = timer.LogLapWrite(1, "c");  // column 6
  EXPECT_EQ("c(1),,,,,," + Fixed(lap) + "\n", Contents());
}

// Column argument -> comma count, for LogTime and the four-argument LogLap.
struct ColumnCase {
  int column;
  int expectedCommas;
};

void PrintTo(const ColumnCase& c, std::ostream* os) {
  *os << "column " << c.column << " -> " << c.expectedCommas << " commas";
}

class ColumnRuleTest : public PerformanceTimerTest,
                       public ::testing::WithParamInterface<ColumnCase> {};

TEST_P(ColumnRuleTest, LogTimeAndLogLapPlaceNumberAfterCommas) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  const ColumnCase& c = GetParam();
  const double seconds = timer.LogTime("t", c.column);
  const double lap = timer.LogLap("l", c.column, 1, false);
  const std::string commas(static_cast<std::size_t>(c.expectedCommas), ',');
  const std::vector<std::string> expected = {"t" + commas + Printf("%g", seconds),
                                             "l" + commas + Fixed(lap)};
  std::vector<std::string> lines = DataLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(expected[0], lines[0]);
  // With column -1 the second call takes the next automatic column.
  if (c.column == -1) {
    EXPECT_EQ("l,," + Fixed(lap), lines[1]);
  } else {
    EXPECT_EQ(expected[1], lines[1]);
  }
}

INSTANTIATE_TEST_SUITE_P(Columns, ColumnRuleTest,
                         ::testing::Values(ColumnCase{0, 1}, ColumnCase{4, 5}, ColumnCase{-1, 1},
                                           ColumnCase{-2, 0}, ColumnCase{-1000, 0}));

TEST_F(PerformanceTimerTest, ExplicitColumnsLeaveAutomaticColumnAlone) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  timer.LogTime("t", 5);
  timer.LogLap("l", -7, 2, false);
  const double lap = timer.LogLapWrite(0, "auto");
  EXPECT_EQ("auto(0)," + Fixed(lap), DataLines().back());
}

TEST_F(PerformanceTimerTest, UnwritableImmediateFilePrintsConsoleMessageAndStaysUsable) {
  const std::string name = Name("missing-dir/timing");
  ::testing::internal::CaptureStdout();
  {
    PerformanceTimer timer(name, true);
    timer.Start();
    timer.LogLap(1, "a");
    timer.LogTime("b", -1);
  }
  EXPECT_EQ("PerformanceTimer: Could not open " + name +
                ".csv for writing performance timing.\n"
                "Perhaps it is locked by another application, such as excel.\n\n",
            ::testing::internal::GetCapturedStdout());
  EXPECT_FALSE(fs::exists(directory_ / "missing-dir"));
}

TEST_F(PerformanceTimerTest, UnwritableCachedFileIsSkippedSilently) {
  ::testing::internal::CaptureStdout();
  {
    PerformanceTimer timer(Name("missing-dir/timing"), false);
    timer.Start();
    EXPECT_GE(timer.LogLap(1, "a"), 0.0);
    timer.LogStepTimings();
  }
  EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
}

TEST_F(PerformanceTimerTest, EmptyNameWritesNoFileAndNoMessage) {
  const fs::path previous = fs::current_path();
  fs::current_path(directory_);
  ::testing::internal::CaptureStdout();
  for (bool immediate : {true, false}) {
    PerformanceTimer timer("", immediate);
    timer.Start();
    timer.LogLap(1, "a");
    timer.LogTime("t", -1);
    timer.LogLap("l", 0, 1, false);
    timer.LogTime("DELETE_FILE", 0);
    timer.LogStepTimings();
  }
  const std::string printed = ::testing::internal::GetCapturedStdout();
  fs::current_path(previous);
  EXPECT_EQ("", printed);
  EXPECT_TRUE(fs::is_empty(directory_));
}

// ---------------------------------------------------------------------------
// Cached mode

TEST_F(PerformanceTimerTest, CachedConstructorEmptiesFileUntilDestruction) {
  std::ofstream(Name() + ".csv") << "stale line\n";
  auto timer = std::make_unique<PerformanceTimer>(Name(), false);
  EXPECT_EQ("", Contents());
  timer->Start();
  timer->LogLap(1, "a");
  EXPECT_EQ("", Contents());
  timer->LogTime("note", 0);
  EXPECT_EQ(0u, Contents().rfind("note,", 0));
  timer.reset();
  EXPECT_EQ(0u, Contents().rfind("Avg,", 0));
  EXPECT_EQ(std::string::npos, Contents().find("note"));
}

TEST_F(PerformanceTimerTest, EmptyCacheWritesZeroTotalsAndBareFrameHeader) {
  { PerformanceTimer timer(Name(), false); }
  EXPECT_EQ(
      "Avg,,0,\nMax,,0,\nMin,,0,\nQ1,,0,\nQ2,,0,\nQ3,,0,\n"
      "Frame Number,\n",
      Contents());
}

// Summary of a single step "s" timed over `lapCount` frames.
class CachedStatisticsTest : public PerformanceTimerTest,
                             public ::testing::WithParamInterface<int> {};

TEST_P(CachedStatisticsTest, QuartilesPickSortedLapsWithoutInterpolation) {
  const int lapCount = GetParam();
  std::vector<double> laps;
  {
    PerformanceTimer timer(Name(), false);
    for (int frame = 0; frame < lapCount; ++frame) {
      timer.Start();
      laps.push_back(timer.LogLap(frame, "s"));
    }
  }
  std::vector<double> sorted = laps;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double lap : sorted) {
    sum += lap;
  }
  const std::size_t n = sorted.size();
  const std::pair<const char*, double> statistics[] = {
      {"Avg", sum / static_cast<double>(n)},
      {"Max", sorted[n - 1]},
      {"Min", sorted[0]},
      {"Q1", sorted[n / 4]},
      {"Q2", sorted[n / 2]},
      {"Q3", sorted[3 * n / 4]},
  };
  std::string expected;
  for (const auto& [key, value] : statistics) {
    expected += std::string(key) + "," + Ms(value) + ",," + Ms(value) + ",\n";
  }
  expected += "Frame Number,s,\n";
  for (int frame = 0; frame < lapCount; ++frame) {
    expected += std::to_string(frame) + "," + Ms(laps[static_cast<std::size_t>(frame)]) + ",\n";
  }
  EXPECT_EQ(expected, Contents());
}

INSTANTIATE_TEST_SUITE_P(LapCounts, CachedStatisticsTest, ::testing::Values(1, 2, 3, 4, 7));

TEST_F(PerformanceTimerTest, SameLabelTwiceInOneFrameKeepsSecondLap) {
  double second = 0;
  {
    PerformanceTimer timer(Name(), false);
    timer.Start();
    timer.LogLap(1, "a");
    second = timer.LogLap(1, "a");
  }
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ("Max," + Ms(second) + ",," + Ms(second) + ",", lines[1]);
  EXPECT_EQ("Frame Number,a,", lines[6]);
  EXPECT_EQ("1," + Ms(second) + ",", lines[7]);
}

TEST_F(PerformanceTimerTest, LowerFrameNumberJoinsAndRelabelsLastRow) {
  double a5 = 0;
  double b3 = 0;
  double a6 = 0;
  {
    PerformanceTimer timer(Name(), false);
    a5 = timer.LogLap(5, "a");
    b3 = timer.LogLap(3, "b");
    a6 = timer.LogLap(6, "a");
  }
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ("Frame Number,a,b,", lines[6]);
  EXPECT_EQ("3," + Ms(a5) + "," + Ms(b3) + ",", lines[7]);
  EXPECT_EQ("6," + Ms(a6) + ",N/A,", lines[8]);
}

TEST_F(PerformanceTimerTest, LaterRowWithMoreLabelsGivesColumns) {
  double laps[5];
  {
    PerformanceTimer timer(Name(), false);
    laps[0] = timer.LogLap(1, "a");
    laps[1] = timer.LogLap(1, "b");
    laps[2] = timer.LogLap(2, "a");
    laps[3] = timer.LogLap(2, "b");
    laps[4] = timer.LogLap(2, "c");
  }
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ("Min," + Ms(std::min(laps[0], laps[2])) + "," + Ms(std::min(laps[1], laps[3])) + "," +
                Ms(laps[4]) + ",,",
            lines[2].substr(0, lines[2].rfind(",,") + 2));
  EXPECT_EQ("Frame Number,a,b,c,", lines[6]);
  EXPECT_EQ("1," + Ms(laps[0]) + "," + Ms(laps[1]) + ",N/A,", lines[7]);
  EXPECT_EQ("2," + Ms(laps[2]) + "," + Ms(laps[3]) + "," + Ms(laps[4]) + ",", lines[8]);
}

TEST_F(PerformanceTimerTest, LabelWithoutColumnStillCountsInTotals) {
  double a1 = 0, b1 = 0, a2 = 0, d2 = 0;
  {
    PerformanceTimer timer(Name(), false);
    timer.Start();
    a1 = timer.LogLap(1, "a");
    b1 = timer.LogLap(1, "b");
    timer.Start();
    a2 = timer.LogLap(2, "a");
    d2 = timer.LogLap(2, "d");
  }
  const double aMax = std::max(a1, a2);
  const double aMin = std::min(a1, a2);
  const double aAvg = (aMin + aMax) / 2;
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(9u, lines.size());
  // Totals run over a, b, d in byte order, d included though it has no column.
  EXPECT_EQ("Avg," + Ms(aAvg) + "," + Ms(b1) + ",," + Ms(((0 + aAvg) + b1) + d2) + ",", lines[0]);
  EXPECT_EQ("Max," + Ms(aMax) + "," + Ms(b1) + ",," + Ms(((0 + aMax) + b1) + d2) + ",", lines[1]);
  EXPECT_EQ("Min," + Ms(aMin) + "," + Ms(b1) + ",," + Ms(((0 + aMin) + b1) + d2) + ",", lines[2]);
  EXPECT_EQ("Frame Number,a,b,", lines[6]);
  EXPECT_EQ("1," + Ms(a1) + "," + Ms(b1) + ",", lines[7]);
  EXPECT_EQ("2," + Ms(a2) + ",N/A,", lines[8]);
}

TEST_F(PerformanceTimerTest, EqualLabelCountsKeepEarlierRowAsColumns) {
  {
    PerformanceTimer timer(Name(), false);
    timer.LogLap(1, "a");
    timer.LogLap(1, "b");
    timer.LogLap(2, "c");
    timer.LogLap(2, "d");
  }
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ("Frame Number,a,b,", lines[6]);
  EXPECT_EQ("2,N/A,N/A,", lines[8]);
}

TEST_F(PerformanceTimerTest, StepTimingsInImmediateModeReplaceLinesWithEmptySummary) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  timer.LogLap(1, "a");
  timer.LogStepTimings();
  EXPECT_EQ("Avg,,0,\nMax,,0,\nMin,,0,\nQ1,,0,\nQ2,,0,\nQ3,,0,\nFrame Number,\n", Contents());
}

TEST_F(PerformanceTimerTest, StepTimingsKeepCacheForLaterSummary) {
  double laps[2];
  {
    PerformanceTimer timer(Name(), false);
    laps[0] = timer.LogLap(1, "a");
    timer.LogStepTimings();
    laps[1] = timer.LogLap(2, "a");
  }
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ("1," + Ms(laps[0]) + ",", lines[7]);
  EXPECT_EQ("2," + Ms(laps[1]) + ",", lines[8]);
}

TEST_F(PerformanceTimerTest, CachedDestructorSurvivesSummaryFailure) {
  auto timer = std::make_unique<PerformanceTimer>(Name(), false);
  timer->LogLap(1, "a");
  timer->LogLap(2, "b");
  const int failedBefore = tolvenix_test::FailedAllocationCount();
  tolvenix_test::SetAllocationsFail(true);
  timer.reset();
  tolvenix_test::SetAllocationsFail(false);
  EXPECT_GT(tolvenix_test::FailedAllocationCount(), failedBefore);
}

}  // namespace
