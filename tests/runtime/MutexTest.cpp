#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "runtime/Mutex.h"
#include "runtime/Thread.h"

namespace {

// Exposes the owner record, which the class keeps only for debugging.
class ObservedMutex : public KVO::Mutex {
 public:
  explicit ObservedMutex(bool recursive) : KVO::Mutex(recursive) {}
  uint32_t Owner() const { return ownerThreadId; }
};

uint32_t ThisThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// TryLock (and, on success, Unlock) from a thread of its own.
bool TryLockElsewhere(KVO::Mutex& m, uint32_t* threadId = nullptr) {
  bool acquired = false;
  std::thread([&] {
    acquired = m.TryLock();
    if (threadId != nullptr) *threadId = ThisThreadId();
    if (acquired) m.Unlock();
  }).join();
  return acquired;
}

TEST(MutexTest, RecursiveLocksNeedOneUnlockPerLock) {
  ObservedMutex recursive(true);
  KVO::SafeMutex safe;
  for (KVO::Mutex* m : {static_cast<KVO::Mutex*>(&recursive), static_cast<KVO::Mutex*>(&safe)}) {
    m->Lock();
    m->Lock();
    EXPECT_TRUE(m->TryLock());  // the holder may take it again
    for (int held = 3; held > 0; --held) {
      EXPECT_FALSE(TryLockElsewhere(*m)) << held;
      m->Unlock();
    }
    EXPECT_TRUE(TryLockElsewhere(*m));
  }
}

TEST(MutexTest, PlainTryLockFailsWhileHeldAndKeepsTheOwner) {
  ObservedMutex m(false);
  EXPECT_EQ(m.Owner(), 0u);
  m.Lock();
  const uint32_t holder = ThisThreadId();
  EXPECT_EQ(m.Owner(), holder);
  EXPECT_FALSE(TryLockElsewhere(m));
  EXPECT_EQ(m.Owner(), holder);
  m.Unlock();
  EXPECT_EQ(m.Owner(), holder);  // unlocking leaves the record
  uint32_t other = 0;
  EXPECT_TRUE(TryLockElsewhere(m, &other));
  EXPECT_EQ(m.Owner(), other);
}

}  // namespace
