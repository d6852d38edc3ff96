#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <gtest/gtest.h>

#include "runtime/PerformanceTimer.h"
#include "runtime/Sleep.h"
#include "tests/support/AllocationFailure.h"
#include "tests/support/TempDirTest.h"

namespace {

namespace fs = std::filesystem;
using KVO::PerformanceTimer;

// printf renderings, independent of the stream formatting the timer uses.
std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}
std::string G(double value) { return Printf("%g", value); }
std::string Fixed(double value) { return Printf("%f", value); }
std::string Ms(double seconds) { return G(seconds * 1000); }  // summary cell

TEST(ClockTest, UnitsAgreeCountFromTheUnixEpochAndKeepFractions) {
  const double sec = PerformanceTimer::GetTime_Sec();
  const double ms = PerformanceTimer::GetTime_mS();
  const double us = PerformanceTimer::GetTime_uS();
  const double ns = PerformanceTimer::GetTime_nS();
  // Later reads are never earlier, and never a generous ten seconds apart.
  EXPECT_LE(sec * 1000.0, ms + 1.0);
  EXPECT_LT(ms - sec * 1000.0, 10000.0);
  EXPECT_LE(ms * 1000.0, us + 1000.0);
  EXPECT_LE(us * 1000.0, ns + 1000000.0);
  EXPECT_EQ(ns, std::floor(ns));
  EXPECT_GT(sec, 1577836800.0);  // after 2020: not time since boot
  bool sawFraction = false;
  for (int i = 0; i < 100 && !sawFraction; ++i) {
    const double now = PerformanceTimer::GetTime_mS();
    sawFraction = now != std::floor(now);
  }
  EXPECT_TRUE(sawFraction);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Each test gets its own directory for its CSV files.
class PerformanceTimerTest : public testsupport::TempDirTest {
 protected:
  std::string Name(const std::string& base = "timing") const { return Path(base); }
  std::string Contents(const std::string& base = "timing") const {
    const testsupport::Bytes bytes = testsupport::ReadWholeFile(Name(base) + ".csv");
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST_F(PerformanceTimerTest, ImmediateHeaderReplacesTheFileWithTheFormulaRows) {
  std::ofstream(Name() + ".csv") << "stale line\n";
  PerformanceTimer timer(Name(), true);
  std::string expected =
      "Heading,=A10,=A11,=A12,=A13,=A14,=A15,=A16,=A17,=A18,=A19,=A20,=A21,=A22,=A23,=A24,"
      "=A25,=A26,=A27,=A28,=A29,\n";
  // Row name and function; '#' stands for the step column's rows 10 to 10000.
  const std::pair<const char*, const char*> kRows[] = {
      {"Average", "AVERAGE(#)"}, {"Min", "MIN(#)"},       {"Q1", "QUARTILE(#;1)"},
      {"Q2", "QUARTILE(#;2)"},   {"Q3", "QUARTILE(#;3)"}, {"Max", "MAX(#)"}};
  int rowNumber = 2;
  for (const auto& [name, function] : kRows) {
    expected += std::string(name) + ",";
    for (char letter = 'B'; letter <= 'U'; ++letter) {
      const std::string range = letter + std::string("10:") + letter + "10000";
      expected += boost::replace_all_copy(
          "=IF(COUNTBLANK(#)=9991;0;" + std::string(function) + "*1000),", "#", range);
    }
    const std::string row = std::to_string(rowNumber++);
    expected += "=SUM(B" + row + ":U" + row + ")\n";
  }
  EXPECT_EQ(expected + "\n\n", Contents());
}

// Column c >= 0 gives c + 1 commas and leaves the automatic column alone;
// -1 takes the automatic column, which Start() resets to 1; below -1 none.
TEST_F(PerformanceTimerTest, LapsAndTimesLandInTheirColumns) {
  PerformanceTimer timer(Name(), true);
  // Before any Start() the automatic column is 0.
  std::vector<std::string> expected = {"early(-3)" + Fixed(timer.LogLapWrite(-3, "early"))};
  timer.Start();
  const double t = timer.LogTime("t", 5);
  const double l = timer.LogLap("l", -7, 1, false);
  EXPECT_GE(l, t);  // LogTime left the lap running from Start()
  expected.push_back("t,,,,,," + G(t));
  expected.push_back("l" + Fixed(l));
  timer.LogLap("section", 3, 1000, true);
  expected.push_back("section");
  expected.push_back("z" + G(timer.LogTime("z", -2)));
  expected.push_back("grab(7)," + Fixed(timer.LogLap(7, "grab")));
  expected.push_back("m,," + Fixed(timer.LogLap("m", -1, 1, false)));
  expected.push_back("n," + Fixed(timer.LogLap("n", 0, 1, false)));
  expected.push_back("u,,," + G(timer.LogTime("u", -1)));
  expected.push_back("track(7),,,," + Fixed(timer.LogLapWrite(7, "track")));
  timer.Start();
  expected.push_back("grab(8)," + Fixed(timer.LogLap(8, "grab")));
  const std::vector<std::string> lines = SplitLines(Contents());
  ASSERT_GT(lines.size(), 9u);  // after the header's nine rows
  EXPECT_EQ(expected, std::vector<std::string>(lines.begin() + 9, lines.end()));
}

// Each GetLapTime() restarts the lap, so the laps split the time since
// Start() without overlapping and GetTime() covers them all. The sleep makes
// an overlap show; a slow machine can only hide it.
TEST(PerformanceTimerLapTest, LapsSplitTheTimeSinceStart) {
  PerformanceTimer timer("", true);
  timer.Start();
  KVO::SleepMs(20);
  const double first = timer.GetLapTime();
  const double second = timer.GetLapTime();
  const double sinceStart = timer.GetTime();
  EXPECT_LE(first + second, sinceStart + 1e-9);
}

TEST_F(PerformanceTimerTest, DeleteFileEmptiesFileWhileAutomaticColumnAdvances) {
  PerformanceTimer timer(Name(), true);
  timer.Start();
  timer.LogLapWrite(1, "a");  // column 1
  timer.LogTime("DELETE_FILE", -1);
  EXPECT_EQ("", Contents());
  timer.LogLapWrite(1, "b");  // column 3
  timer.LogLap("DELETE_FILE", -1, 1, false);
  EXPECT_EQ("", Contents());
  timer.LogLapWrite(1, "DELETE_FILE");
  EXPECT_EQ("", Contents());
  const double lap = timer.LogLapWrite(1, "c");  // column 6
  EXPECT_EQ("c(1),,,,,," + Fixed(lap) + "\n", Contents());
}

// An empty name never writes or prints. A file that cannot be opened is
// skipped; only the immediate header reports it. Both stay usable.
TEST_F(PerformanceTimerTest, EmptyNameOrUnwritableFileWritesNothing) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_.Root());  // where an empty name would write
  const std::string missing = Name("missing-dir/timing");
  for (const std::string& name : {std::string(), missing}) {
    for (bool immediate : {true, false}) {
      ::testing::internal::CaptureStdout();
      {
        PerformanceTimer timer(name, immediate);
        EXPECT_GE(timer.LogLap(1, "a"), 0.0);
        timer.LogTime("t", -1);
        timer.LogLap("l", 0, 1, false);
        timer.LogTime("DELETE_FILE", 0);
        timer.LogStepTimings();
      }
      const std::string message = "PerformanceTimer: Could not open " + name +
                                  ".csv for writing performance timing.\nPerhaps it is locked by "
                                  "another application, such as excel.\n\n";
      EXPECT_EQ(immediate && !name.empty() ? message : "",
                ::testing::internal::GetCapturedStdout());
    }
  }
  fs::current_path(previous);
  EXPECT_TRUE(fs::is_empty(dir_.Root()));
}

// Cached laps write nothing; LogTime appends at once; the summary replaces
// all. An empty cache (immediate mode never caches) gives zero totals.
TEST_F(PerformanceTimerTest, CachedFileHoldsOnlyAppendedLinesUntilTheSummary) {
  std::ofstream(Name() + ".csv") << "stale line\n";
  {
    PerformanceTimer timer(Name(), false);
    timer.LogLap(1, "a");
    EXPECT_EQ("", Contents());
    timer.LogTime("note", 0);
    EXPECT_EQ(0u, Contents().rfind("note,", 0));
  }
  EXPECT_EQ(0u, Contents().rfind("Avg,", 0));
  EXPECT_EQ(std::string::npos, Contents().find("note"));
  const std::string empty = "Avg,,0,\nMax,,0,\nMin,,0,\nQ1,,0,\nQ2,,0,\nQ3,,0,\nFrame Number,\n";
  { PerformanceTimer timer(Name(), false); }
  EXPECT_EQ(empty, Contents());
  PerformanceTimer immediate(Name(), true);
  immediate.LogLap(1, "a");
  immediate.LogStepTimings();
  EXPECT_EQ(empty, Contents());
}

using Calls = std::vector<std::pair<int, const char*>>;

// The statistics lines of a cached summary over `columns`: per column, then
// the total over every label in byte order. A label seen again in its row
// replaces its lap; a frame above the row's starts a row. Quartiles pick
// sorted laps without interpolation.
std::vector<std::string> Statistics(const Calls& calls, const std::vector<double>& laps,
                                    const std::vector<std::string>& columns) {
  std::map<std::string, std::vector<double>> kept;
  std::map<std::string, int> rowOf;  // the row of each label's last lap
  int row = 0, rowFrame = -1;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& [frame, label] = calls[i];
    if (label == nullptr) continue;
    row += frame > rowFrame;
    rowFrame = frame;
    if (std::exchange(rowOf[label], row) == row) kept[label].pop_back();
    kept[label].push_back(laps[i]);
  }
  std::vector<std::string> lines;
  for (const char* key : {"Avg", "Max", "Min", "Q1", "Q2", "Q3"}) {
    std::map<std::string, double> value;
    double total = 0;
    for (auto& [label, v] : kept) {
      std::sort(v.begin(), v.end());
      const std::size_t n = v.size(), k = lines.size();
      const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(n);
      total += value[label] = k == 0   ? mean
                              : k == 1 ? v[n - 1]
                              : k == 2 ? v[0]
                                       : v[(k - 2) * n / 4];
    }
    std::string line = std::string(key) + ",";
    for (const std::string& column : columns) line += Ms(value[column]) + ",";
    lines.push_back(line + "," + Ms(total) + ",");
  }
  return lines;
}

// Expected rows write "$i" for the summary cell of the i-th call's lap.
TEST_F(PerformanceTimerTest, CachedSummaryTakesColumnsFromTheFirstFullestRow) {
  std::vector<std::pair<Calls, std::vector<std::string>>> cases = {
      // A label seen again in its row replaces the lap.
      {{{1, "a"}, {1, "a"}}, {"a", "1,$1,"}},
      // A lower frame number joins the last row and renames it.
      {{{5, "a"}, {3, "b"}, {6, "a"}}, {"a,b", "3,$0,$1,", "6,$2,N/A,"}},
      {{{1, "a"}, {1, "b"}, {2, "a"}, {2, "b"}, {2, "c"}},
       {"a,b,c", "1,$0,$1,N/A,", "2,$2,$3,$4,"}},
      // Equal label counts keep the earlier row's labels as the columns.
      {{{1, "a"}, {1, "b"}, {2, "c"}, {2, "d"}}, {"a,b", "1,$0,$1,", "2,N/A,N/A,"}},
      // A label without a column still counts in the totals.
      {{{1, "a"}, {1, "b"}, {2, "a"}, {2, "d"}}, {"a,b", "1,$0,$1,", "2,$2,N/A,"}},
      // Writing the summary keeps the cache.
      {{{1, "a"}, {0, nullptr}, {2, "a"}}, {"a", "1,$0,", "2,$2,"}},
  };
  for (int lapCount : {2, 3, 4, 7}) {
    cases.push_back({{}, {"s"}});
    for (int frame = 0; frame < lapCount; ++frame) {
      cases.back().first.emplace_back(frame, "s");
      cases.back().second.push_back(std::to_string(frame) + ",$" + std::to_string(frame) + ",");
    }
  }
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const auto& [calls, table] = cases[index];
    const std::string base = "table" + std::to_string(index);
    std::vector<double> laps;  // a null label writes the summary, its lap counts 0
    {
      PerformanceTimer timer(Name(base), false);
      for (const auto& [frame, label] : calls) {
        if (label == nullptr) timer.LogStepTimings();
        laps.push_back(label == nullptr ? 0.0 : timer.LogLap(frame, label));
      }
    }
    std::vector<std::string> columns;
    std::istringstream header(table[0]);
    for (std::string column; std::getline(header, column, ',');) columns.push_back(column);
    std::vector<std::string> expected = Statistics(calls, laps, columns);
    expected.push_back("Frame Number," + table[0] + ",");
    for (std::size_t row = 1; row < table.size(); ++row) {
      expected.push_back(table[row]);
      for (std::size_t i = 0; i < laps.size(); ++i) {
        boost::replace_all(expected.back(), "$" + std::to_string(i), Ms(laps[i]));
      }
    }
    EXPECT_EQ(expected, SplitLines(Contents(base))) << index;
  }
}

TEST_F(PerformanceTimerTest, CachedDestructorSurvivesSummaryFailure) {
  auto timer = std::make_unique<PerformanceTimer>(Name(), false);
  timer->LogLap(1, "a");
  const int failedBefore = tolvenix_test::FailedAllocationCount();
  tolvenix_test::SetAllocationsFail(true);
  timer.reset();
  tolvenix_test::SetAllocationsFail(false);
  EXPECT_GT(tolvenix_test::FailedAllocationCount(), failedBefore);
}

}  // namespace
