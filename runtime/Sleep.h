#ifndef RUNTIME_SLEEP_H_
#define RUNTIME_SLEEP_H_

#include <cstdint>

namespace KVO {

// Sleeps `ms` milliseconds with nanosleep (0 or less: returns at once). A
// sleep interrupted by a signal is resumed for the time that remains; any
// other failure ends it early. Any thread.
void SleepMs(int64_t ms);

}  // namespace KVO

#endif  // RUNTIME_SLEEP_H_
