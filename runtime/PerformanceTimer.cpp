#include "runtime/PerformanceTimer.h"

#include <chrono>
#include <cstdint>

namespace KVO {

namespace {

// Converting before dividing keeps the digits below the unit as a fraction.
double NanosecondsSinceEpoch() {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  return static_cast<double>(ns);
}

}  // namespace

double PerformanceTimer::GetTime_Sec() { return NanosecondsSinceEpoch() / 1000000000.0; }
double PerformanceTimer::GetTime_mS() { return NanosecondsSinceEpoch() / 1000000.0; }
double PerformanceTimer::GetTime_uS() { return NanosecondsSinceEpoch() / 1000.0; }
double PerformanceTimer::GetTime_nS() { return NanosecondsSinceEpoch(); }

}  // namespace KVO
