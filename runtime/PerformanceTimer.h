#ifndef RUNTIME_PERFORMANCETIMER_H_
#define RUNTIME_PERFORMANCETIMER_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace KVO {

// Wall-clock readers (and, around them, step/lap timing into CSV files).
//
// The clock functions read the system clock, so an adjustment of the system
// time moves them; they keep no state and may be called from any thread.
//
// An instance times the steps of repeated work (typically the stages of one
// frame) and writes them to "<name>.csv", a file meant for a spreadsheet. The
// mode is fixed at construction:
//  - immediate (`writeImmediately` true): the constructor writes a header of
//    formulas computing per-step statistics over rows 10 to 10000, and every
//    lap is appended at once as its own line;
//  - cached: laps are kept per frame and step label, and destruction replaces
//    the file with a statistics summary and a frame-by-step table.
// In both modes LogTime and the four-argument LogLap append a line at once.
//
// A timed run: construct; per frame Start(), then one LogLap(frame, label)
// per step; destroy when done. Each lap runs from the previous lap mark (the
// first from Start()); the lap is restarted after the file or cache work, so
// writing is never counted in the next lap.
//
// Times are differences of system-clock readings in seconds; file numbers in
// the summary and the header's formulas are milliseconds.
//
// The file is opened and closed by each call that writes; none is held open.
// A file that cannot be opened is skipped silently; the only message is the
// console one when the immediate-mode header cannot be written. An empty name
// never writes a file or a message.
//
// Not thread-safe: one instance must not be used from two threads at once.
// Two instances with the same name write the same file uncoordinated.
// Not copyable: a copy would write its own summary over the original's.
class PerformanceTimer {
 public:
  // One cached frame: its laps in seconds, named by the label at the same
  // index; a label occurs at most once in a row.
  struct TimeInfo {
    int32_t frame = 0;
    std::vector<double> lapTimes;
    std::vector<std::string> lapLabels;
  };

  // Time since the Unix epoch in seconds, milliseconds, microseconds and
  // nanoseconds, with the finer digits kept as a fraction.
  static double GetTime_Sec();
  static double GetTime_mS();
  static double GetTime_uS();
  static double GetTime_nS();

  // `name` is a path without extension, used unchanged (relative names are
  // relative to the working directory). Unless it is empty, truncates
  // "<name>.csv" and, in immediate mode, writes the formula header; when the
  // header cannot be written prints "PerformanceTimer: Could not open ..." to
  // standard output and stays usable (later appends try the file again).
  PerformanceTimer(const std::string& name, bool writeImmediately);

  // Cached mode: writes the summary (as LogStepTimings) first. Never throws:
  // a failure while writing the summary loses the summary only.
  ~PerformanceTimer();

  PerformanceTimer(const PerformanceTimer&) = delete;
  PerformanceTimer& operator=(const PerformanceTimer&) = delete;

  // Starts a frame: the next automatic column is 1 (spreadsheet column B) and
  // both the run and the lap restart now. The cache is untouched.
  void Start();

  // Seconds since construction or the last Start(); the lap is untouched.
  double GetTime() const;

  // Seconds since the lap mark; the reading becomes the new lap mark.
  double GetLapTime();

  // Column rules shared by LogTime and the four-argument LogLap: the number
  // lands in spreadsheet column `column` + 1 (column A holds the label);
  // -1 means the next automatic column, which then advances; below -1 the
  // line has no comma. The automatic column advances even when nothing is
  // written. The label "DELETE_FILE" empties the file and writes nothing.

  // Appends the label, the column's commas, the seconds since Start() (%g
  // notation) and "\n"; returns those seconds, read at entry. The lap is
  // untouched.
  double LogTime(const std::string& label, int column);

  // Appends the label, the column's commas, multiplier times the lap (six
  // decimals) and "\n"; or the label and "\n" alone when `labelOnly`.
  // Returns multiplier times the lap in seconds and restarts the lap.
  double LogLap(const std::string& label, int column, int multiplier, bool labelOnly);

  // One step of a frame: LogLapWrite in immediate mode, LogLapCache in cached
  // mode. Returns the lap in seconds.
  double LogLap(int frameNumber, const std::string& label);

  // Appends "label(frame)", the next automatic column's commas (the column
  // then advances), the lap (six decimals) and "\n". Returns the lap in
  // seconds and restarts it.
  double LogLapWrite(int frameNumber, const std::string& label);

  // Records the lap under `label` in the cache; writes nothing. A frame
  // number above the last one opened opens a new row; any other number adds
  // to the last row and renames it. A label already in that row has its lap
  // replaced. Returns the lap in seconds and restarts it.
  double LogLapCache(int frameNumber, const std::string& label);

  // Replaces the whole file with the summary of the cache: six statistics
  // lines (Avg, Max, Min, Q1, Q2, Q3, in milliseconds, one column per label
  // of the first row with the most labels, then a blank cell and the total
  // over every label), then "Frame Number," with those labels and one line
  // per cached frame ("N/A," where a frame lacks a step). The cache is kept.
  // Throws std::bad_alloc when memory runs out.
  void LogStepTimings();

 private:
  using Clock = std::chrono::system_clock;

  // Seconds from `from` to `to`, through a signed 64-bit nanosecond count.
  static double SecondsBetween(Clock::time_point from, Clock::time_point to);

  // Comma count for a column argument; -1 takes and advances columnCounter.
  int CommaCountFor(int column);
  int NextAutomaticColumn();

  // Lap from the lap mark to now; now becomes the lap mark.
  double TakeLap();
  // Restarts the lap after file or cache work.
  void RestartLap();

  // Appends `line` to the file, or empties it for "DELETE_FILE".
  void AppendLine(const std::string& label, const std::string& line) const;
  void TruncateFile() const;
  void WriteImmediateHeader() const;

  std::vector<TimeInfo> timeInfos;
  int32_t lastCachedFrame = -1;
  bool writeImmediately;
  int32_t columnCounter = 0;
  std::string csvFileName;
  Clock::time_point startTime;
  Clock::time_point lapStartTime;
};

}  // namespace KVO

#endif  // RUNTIME_PERFORMANCETIMER_H_
