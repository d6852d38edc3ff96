#include "runtime/Sleep.h"

#include <cerrno>
#include <ctime>

namespace KVO {

void SleepMs(int64_t ms) {
  if (ms <= 0) return;
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace KVO
