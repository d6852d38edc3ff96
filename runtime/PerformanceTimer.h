#ifndef RUNTIME_PERFORMANCETIMER_H_
#define RUNTIME_PERFORMANCETIMER_H_

namespace KVO {

// Wall-clock readers (and, around them, step/lap timing into CSV files).
//
// The clock functions read the system clock, so an adjustment of the system
// time moves them; they keep no state and may be called from any thread.
class PerformanceTimer {
 public:
  // Time since the Unix epoch in seconds, milliseconds, microseconds and
  // nanoseconds, with the finer digits kept as a fraction.
  static double GetTime_Sec();
  static double GetTime_mS();
  static double GetTime_uS();
  static double GetTime_nS();
};

}  // namespace KVO

#endif  // RUNTIME_PERFORMANCETIMER_H_
