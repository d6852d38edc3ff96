#include "runtime/PerformanceTimer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

namespace KVO {

namespace {

// Converting before dividing keeps the digits below the unit as a fraction.
double NanosecondsSinceEpoch() {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  return static_cast<double>(ns);
}

constexpr char kDeleteFileLabel[] = "DELETE_FILE";

// The header's formulas cover these rows of each step column; a column shows
// 0 while every one of its cells is blank.
constexpr int kFirstDataRow = 10;
constexpr int kLastDataRow = 10000;
constexpr int kDataRowCount = kLastDataRow - kFirstDataRow + 1;
constexpr char kFirstStepColumn = 'B';
constexpr char kLastStepColumn = 'U';
constexpr int kStepColumnCount = kLastStepColumn - kFirstStepColumn + 1;

// One statistics row of the header: its name and the spreadsheet function
// applied to each step column. Arguments are separated by ';' because ','
// is the file's cell separator.
struct HeaderRow {
  const char* name;
  const char* function;
  const char* suffix;
};

constexpr HeaderRow kHeaderRows[] = {
    {"Average", "AVERAGE(", ")*1000)"}, {"Min", "MIN(", ")*1000)"},
    {"Q1", "QUARTILE(", ";1)*1000)"},   {"Q2", "QUARTILE(", ";2)*1000)"},
    {"Q3", "QUARTILE(", ";3)*1000)"},   {"Max", "MAX(", ")*1000)"},
};

// %g-like: six significant digits, no trailing zeros.
std::string FormatDefault(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// %f-like: six digits after the decimal point.
std::string FormatFixed(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(6) << value;
  return text.str();
}

std::string Commas(int count) {
  return std::string(static_cast<std::size_t>(std::max(count, 0)), ',');
}

struct StepStatistics {
  double avg = 0;
  double max = 0;
  double min = 0;
  double q1 = 0;
  double q2 = 0;
  double q3 = 0;
};

// Quartiles pick a sorted sample without interpolation; the sum runs in
// ascending order so equal inputs give equal averages whatever the row order.
StepStatistics ComputeStatistics(std::vector<double> laps) {
  std::sort(laps.begin(), laps.end());
  const std::size_t n = laps.size();
  double sum = 0;
  for (double lap : laps) {
    sum += lap;
  }
  StepStatistics s;
  s.avg = sum / static_cast<double>(n);
  s.min = laps.front();
  s.max = laps.back();
  s.q1 = laps[n / 4];
  s.q2 = laps[n / 2];
  s.q3 = laps[3 * n / 4];
  return s;
}

// The summary's statistics lines, in the order they are written.
using StatisticField = double StepStatistics::*;
struct SummaryLine {
  const char* key;
  StatisticField field;
};
constexpr SummaryLine kSummaryLines[] = {
    {"Avg", &StepStatistics::avg}, {"Max", &StepStatistics::max}, {"Min", &StepStatistics::min},
    {"Q1", &StepStatistics::q1},   {"Q2", &StepStatistics::q2},   {"Q3", &StepStatistics::q3},
};

// Index of `label` in `labels`, or labels.size() when absent.
std::size_t FindLabel(const std::vector<std::string>& labels, const std::string& label) {
  return static_cast<std::size_t>(std::find(labels.begin(), labels.end(), label) - labels.begin());
}

}  // namespace

double PerformanceTimer::GetTime_Sec() { return NanosecondsSinceEpoch() / 1000000000.0; }
double PerformanceTimer::GetTime_mS() { return NanosecondsSinceEpoch() / 1000000.0; }
double PerformanceTimer::GetTime_uS() { return NanosecondsSinceEpoch() / 1000.0; }
double PerformanceTimer::GetTime_nS() { return NanosecondsSinceEpoch(); }

PerformanceTimer::PerformanceTimer(const std::string& name, bool writeImmediately)
    : writeImmediately(writeImmediately),
      csvFileName(name.empty() ? std::string() : name + ".csv"),
      startTime(Clock::now()),
      lapStartTime(startTime) {
  if (csvFileName.empty()) {
    return;
  }
  if (writeImmediately) {
    WriteImmediateHeader();
  } else {
    TruncateFile();
  }
}

PerformanceTimer::~PerformanceTimer() {
  if (writeImmediately) {
    return;
  }
  // An exception leaving a destructor ends the process; losing the summary
  // (out of memory while building it) is the lesser harm.
  try {
    LogStepTimings();
  } catch (...) {
  }
}

void PerformanceTimer::Start() {
  columnCounter = 1;
  startTime = Clock::now();
  lapStartTime = startTime;
}

double PerformanceTimer::GetTime() const { return SecondsBetween(startTime, Clock::now()); }

double PerformanceTimer::GetLapTime() { return TakeLap(); }

double PerformanceTimer::LogTime(const std::string& label, int column) {
  const double seconds = SecondsBetween(startTime, Clock::now());
  const int commaCount = CommaCountFor(column);
  AppendLine(label, label + Commas(commaCount) + FormatDefault(seconds) + "\n");
  return seconds;
}

double PerformanceTimer::LogLap(const std::string& label, int column, int multiplier,
                                bool labelOnly) {
  const double result = static_cast<double>(multiplier) * TakeLap();
  const int commaCount = CommaCountFor(column);
  if (labelOnly) {
    AppendLine(label, label + "\n");
  } else {
    AppendLine(label, label + Commas(commaCount) + FormatFixed(result) + "\n");
  }
  RestartLap();
  return result;
}

double PerformanceTimer::LogLap(int frameNumber, const std::string& label) {
  return writeImmediately ? LogLapWrite(frameNumber, label) : LogLapCache(frameNumber, label);
}

double PerformanceTimer::LogLapWrite(int frameNumber, const std::string& label) {
  const double lap = TakeLap();
  const int commaCount = NextAutomaticColumn();
  AppendLine(label, label + "(" + std::to_string(frameNumber) + ")" + Commas(commaCount) +
                        FormatFixed(lap) + "\n");
  RestartLap();
  return lap;
}

double PerformanceTimer::LogLapCache(int frameNumber, const std::string& label) {
  const double lap = TakeLap();
  if (timeInfos.empty() || frameNumber > lastCachedFrame) {
    timeInfos.emplace_back();
    lastCachedFrame = frameNumber;
  }
  TimeInfo& row = timeInfos.back();
  row.frame = frameNumber;
  const std::size_t index = FindLabel(row.lapLabels, label);
  if (index < row.lapLabels.size()) {
    row.lapTimes[index] = lap;
  } else {
    row.lapTimes.push_back(lap);
    row.lapLabels.push_back(label);
  }
  RestartLap();
  return lap;
}

void PerformanceTimer::LogStepTimings() {
  // The label row fixes the summary's columns: the first row with the most
  // labels, which in a normal run is a frame that ran every step.
  const std::vector<std::string>* labelRow = nullptr;
  for (const TimeInfo& row : timeInfos) {
    if (labelRow == nullptr || row.lapLabels.size() > labelRow->size()) {
      labelRow = &row.lapLabels;
    }
  }
  const std::vector<std::string> columns = labelRow ? *labelRow : std::vector<std::string>();

  // std::map keeps the labels in ascending byte order for the totals.
  std::map<std::string, std::vector<double>> lapsByLabel;
  for (const TimeInfo& row : timeInfos) {
    for (std::size_t i = 0; i < row.lapLabels.size(); ++i) {
      lapsByLabel[row.lapLabels[i]].push_back(row.lapTimes[i]);
    }
  }

  std::vector<StepStatistics> cells(columns.size());
  StepStatistics totals;
  for (const auto& [label, laps] : lapsByLabel) {
    const StepStatistics s = ComputeStatistics(laps);
    const std::size_t column = FindLabel(columns, label);
    if (column < columns.size()) {
      cells[column] = s;
    }
    // Labels without a column still count, so the totals cover every step.
    for (const SummaryLine& line : kSummaryLines) {
      totals.*line.field += s.*line.field;
    }
  }

  std::ofstream out(csvFileName, std::ios::out | std::ios::trunc);
  if (!out) {
    return;
  }
  for (const SummaryLine& line : kSummaryLines) {
    out << line.key << ',';
    for (const StepStatistics& cell : cells) {
      out << cell.*line.field * 1000 << ',';
    }
    out << ',' << totals.*line.field * 1000 << ',' << std::endl;
  }
  out << "Frame Number,";
  for (const std::string& label : columns) {
    out << label << ',';
  }
  out << std::endl;
  for (const TimeInfo& row : timeInfos) {
    out << row.frame << ',';
    for (const std::string& label : columns) {
      const std::size_t index = FindLabel(row.lapLabels, label);
      if (index < row.lapLabels.size()) {
        out << row.lapTimes[index] * 1000 << ',';
      } else {
        out << "N/A,";
      }
    }
    out << std::endl;
  }
}

double PerformanceTimer::SecondsBetween(Clock::time_point from, Clock::time_point to) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  return static_cast<double>(ns) / 1e9;
}

int PerformanceTimer::CommaCountFor(int column) {
  return column == -1 ? NextAutomaticColumn() : column + 1;
}

int PerformanceTimer::NextAutomaticColumn() { return columnCounter++; }

double PerformanceTimer::TakeLap() {
  const Clock::time_point now = Clock::now();
  const double lap = SecondsBetween(lapStartTime, now);
  lapStartTime = now;
  return lap;
}

void PerformanceTimer::RestartLap() { lapStartTime = Clock::now(); }

void PerformanceTimer::AppendLine(const std::string& label, const std::string& line) const {
  if (label == kDeleteFileLabel) {
    TruncateFile();
    return;
  }
  std::ofstream out(csvFileName, std::ios::out | std::ios::app);
  if (out) {
    out << line;
  }
}

void PerformanceTimer::TruncateFile() const {
  std::ofstream out(csvFileName, std::ios::out | std::ios::trunc);
}

void PerformanceTimer::WriteImmediateHeader() const {
  std::ofstream out(csvFileName, std::ios::out | std::ios::trunc);
  if (!out) {
    std::cout << "PerformanceTimer: Could not open " << csvFileName
              << " for writing performance timing.\n"
              << "Perhaps it is locked by another application, such as excel.\n\n";
    return;
  }
  // Row 1 repeats the labels of the first frame's steps (rows 10 to 29) above
  // their columns.
  out << "Heading,";
  for (int row = kFirstDataRow; row < kFirstDataRow + kStepColumnCount; ++row) {
    out << "=A" << row << ',';
  }
  out << '\n';
  int rowNumber = 2;
  for (const HeaderRow& header : kHeaderRows) {
    out << header.name << ',';
    for (char letter = kFirstStepColumn; letter <= kLastStepColumn; ++letter) {
      out << "=IF(COUNTBLANK(" << letter << kFirstDataRow << ':' << letter << kLastDataRow
          << ")=" << kDataRowCount << ";0;" << header.function << letter << kFirstDataRow << ':'
          << letter << kLastDataRow << header.suffix << ',';
    }
    out << "=SUM(" << kFirstStepColumn << rowNumber << ':' << kLastStepColumn << rowNumber << ")\n";
    ++rowNumber;
  }
  // Rows 8 and 9 stay empty so the data starts at row 10.
  out << "\n\n";
}

}  // namespace KVO
