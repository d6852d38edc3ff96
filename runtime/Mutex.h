#ifndef RUNTIME_MUTEX_H_
#define RUNTIME_MUTEX_H_

#include <cstdint>

namespace KVO {

// A lock that is recursive or plain, chosen at construction.
//
// Any thread may lock; only the holder unlocks. A recursive lock may be taken
// again by its holder and needs one Unlock() per Lock(). Not copyable.
class Mutex {
 public:
  // Throws boost::thread_resource_error when the platform lock cannot be
  // initialised, std::bad_alloc on allocation failure; nothing leaks.
  explicit Mutex(bool recursive);
  // The lock must not be held.
  virtual ~Mutex();

  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Kept for callers that toggle lock tracing; does nothing.
  virtual void ToggleLogging(bool enable);
  // Blocks until held. A plain lock raises boost::lock_error on a failure
  // other than an interruption (the lock is then not held); a recursive lock
  // reports no failure.
  virtual void Lock();
  // Never blocks, never throws. True when the lock is now held by the caller
  // (for a recursive lock, also when the caller already held it).
  virtual bool TryLock();
  // Releases one level. Never throws. Only the holder calls it.
  virtual void Unlock();

 protected:
  // Kernel thread id of the last thread whose Lock() or TryLock() succeeded;
  // written only while the lock is held. Kept for debugging.
  uint32_t ownerThreadId;
  const bool recursive;

 private:
  void RecordOwner();

  void* mutexImpl;  // boost::recursive_mutex or boost::mutex, owned
};

// Holds a Mutex (one level) for a scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex(mutex) { mutex.Lock(); }
  ~MutexLock() { mutex.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex;
};

}  // namespace KVO

#endif  // RUNTIME_MUTEX_H_
