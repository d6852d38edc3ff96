#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include <gtest/gtest.h>

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

// The record names the last thread that took the lock: neither a refused
// TryLock nor an Unlock changes it.
TEST(MutexTest, OwnerRecordChangesOnlyWhenTheLockIsTaken) {
  ObservedMutex m(false);
  EXPECT_EQ(m.Owner(), 0u);
  m.Lock();
  EXPECT_FALSE(TryLockElsewhere(m));
  m.Unlock();
  EXPECT_EQ(m.Owner(), ThisThreadId());
  uint32_t other = 0;
  EXPECT_TRUE(TryLockElsewhere(m, &other));
  EXPECT_EQ(m.Owner(), other);
}

// The id is cached per thread: the child of a fork must not inherit the
// forking thread's one.
TEST(MutexTest, ForkedChildRecordsItsOwnThreadId) {
  ObservedMutex m(true);
  m.Lock();
  m.Unlock();
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    m.Lock();
    _exit(m.Owner() == ThisThreadId() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
