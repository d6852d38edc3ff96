#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "runtime/Mutex.h"
#include "runtime/Thread.h"

namespace {

// TryLock (and, on success, Unlock) from a thread of its own.
bool TryLockElsewhere(KVO::Mutex& m) {
  bool acquired = false;
  std::thread([&] {
    acquired = m.TryLock();
    if (acquired) m.Unlock();
  }).join();
  return acquired;
}

TEST(MutexTest, OtherThreadsGetTheLockOnlyAfterOneUnlockPerLock) {
  KVO::Mutex plain(false);
  KVO::Mutex recursive(true);
  KVO::SafeMutex safe;
  const std::pair<KVO::Mutex*, int> kCases[] = {{&plain, 1}, {&recursive, 3}, {&safe, 3}};
  for (const auto& [m, locks] : kCases) {
    m->Lock();
    if (locks > 1) {
      m->Lock();
      EXPECT_TRUE(m->TryLock());  // the holder may take it again
    }
    for (int held = locks; held > 0; --held) {
      EXPECT_FALSE(TryLockElsewhere(*m)) << held;
      m->Unlock();
    }
    EXPECT_TRUE(TryLockElsewhere(*m));
  }
}

}  // namespace
