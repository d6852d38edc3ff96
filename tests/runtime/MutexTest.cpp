#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "runtime/Mutex.h"
#include "runtime/Thread.h"
#include "runtime/WaitHandle.h"

namespace {

// Exposes the owner record, which the class keeps only for debugging.
class ObservedMutex : public KVO::Mutex {
 public:
  explicit ObservedMutex(bool recursive) : KVO::Mutex(recursive) {}
  uint32_t Owner() const { return ownerThreadId; }
};

uint32_t ThisThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// Runs `body` on another thread and waits for it.
template <typename F>
void OnOtherThread(F body) {
  std::thread t(body);
  t.join();
}

TEST(MutexTest, RecursiveLockNeedsOneUnlockPerLock) {
  ObservedMutex m(true);
  m.Lock();
  m.Lock();
  EXPECT_TRUE(m.TryLock());  // the holder may take it again
  m.Unlock();
  OnOtherThread([&] { EXPECT_FALSE(m.TryLock()); });
  m.Unlock();
  OnOtherThread([&] { EXPECT_FALSE(m.TryLock()); });
  m.Unlock();
  bool acquired = false;
  OnOtherThread([&] {
    acquired = m.TryLock();
    if (acquired) m.Unlock();
  });
  EXPECT_TRUE(acquired);
}

TEST(MutexTest, PlainTryLockFailsWhileHeldAndKeepsTheOwner) {
  ObservedMutex m(false);
  EXPECT_EQ(m.Owner(), 0u);
  m.Lock();
  const uint32_t holder = ThisThreadId();
  EXPECT_EQ(m.Owner(), holder);
  OnOtherThread([&] { EXPECT_FALSE(m.TryLock()); });
  EXPECT_EQ(m.Owner(), holder);
  m.Unlock();
  EXPECT_EQ(m.Owner(), holder);  // unlocking leaves the record

  uint32_t other = 0;
  OnOtherThread([&] {
    ASSERT_TRUE(m.TryLock());
    other = ThisThreadId();
    m.Unlock();
  });
  EXPECT_EQ(m.Owner(), other);
}

TEST(MutexTest, PlainLockExcludesOtherThreads) {
  KVO::Mutex m(false);
  KVO::WaitHandle holding(false, false);
  KVO::WaitHandle release(false, false);
  std::thread holder([&] {
    m.Lock();
    holding.Set();
    release.WaitOne();
    m.Unlock();
  });
  holding.WaitOne();
  EXPECT_FALSE(m.TryLock());
  release.Set();
  m.Lock();  // blocks until the holder lets go
  m.Unlock();
  holder.join();
}

TEST(MutexTest, SafeMutexIsRecursive) {
  KVO::SafeMutex m;
  m.Lock();
  m.Lock();
  OnOtherThread([&] { EXPECT_FALSE(m.TryLock()); });
  m.Unlock();
  m.Unlock();
  OnOtherThread([&] {
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
  });
}

}  // namespace
