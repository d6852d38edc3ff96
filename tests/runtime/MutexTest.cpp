#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "runtime/Mutex.h"
#include "runtime/Thread.h"
#include "tests/support/TestSupport.h"

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

// The kernel's one-letter state of thread `tid` of this process ('S' while it
// sleeps, for instance blocked on a futex), or 0 when it cannot be read.
char ThreadState(uint32_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
  const std::size_t nameEnd = text.rfind(')');
  return nameEnd == std::string::npos || nameEnd + 2 >= text.size() ? 0 : text[nameEnd + 2];
}

// While one thread holds the lock, another's Lock() does not return until
// Unlock(). The holder looks until the contender, past its last step before
// Lock(), either sleeps in the kernel or gets through: only a lock that does
// not exclude lets it through, so a slow machine cannot fail the test. The
// bound ends a look that sees neither; it can let a broken lock pass, never
// fail a sound one.
TEST(MutexTest, LockWaitsWhileAnotherThreadHoldsTheLock) {
  KVO::Mutex plain(false);
  KVO::Mutex recursive(true);
  KVO::SafeMutex safe;
  const std::pair<const char*, KVO::Mutex*> kCases[] = {
      {"plain", &plain}, {"recursive", &recursive}, {"safe", &safe}};
  for (const auto& [kind, lock] : kCases) {
    KVO::Mutex* const m = lock;  // a lambda may not capture a structured binding
    m->Lock();
    std::atomic<uint32_t> contenderId{0};
    std::atomic<bool> acquired{false};
    std::thread contender([&] {
      contenderId = ThisThreadId();
      m->Lock();
      acquired = true;
      m->Unlock();
    });
    while (contenderId == 0) std::this_thread::yield();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!acquired && ThreadState(contenderId) != 'S' &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_FALSE(acquired) << kind;
    m->Unlock();
    contender.join();
    EXPECT_TRUE(acquired);
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
    testsupport::ExitChild(m.Owner() == ThisThreadId() ? 0 : 1);
  }
  EXPECT_EQ(0, testsupport::WaitForExit(child));
}

}  // namespace
