#include "runtime/Mutex.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include "runtime/StaticTls.h"

namespace KVO {

namespace {

boost::mutex& Plain(void* impl) { return *static_cast<boost::mutex*>(impl); }
boost::recursive_mutex& Recursive(void* impl) {
  return *static_cast<boost::recursive_mutex*>(impl);
}

// The calling thread's kernel id, 0 until first looked up. Asking the
// kernel on every lock would cost far more than the lock itself.
KVO_STATIC_TLS thread_local uint32_t cachedThreadId = 0;

// A forked child's only thread starts with the forking thread's cache; the
// child must look its own id up.
void ForgetThreadId() { cachedThreadId = 0; }

__attribute__((noinline)) uint32_t LookUpThreadId() {
  const uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  // The handler is registered before any thread caches its id, so no fork
  // can copy a cached id without it. Without a handler nothing is cached.
  static const bool forkHandled = pthread_atfork(nullptr, nullptr, &ForgetThreadId) == 0;
  if (forkHandled) cachedThreadId = id;
  return id;
}

inline uint32_t CurrentThreadId() {
  const uint32_t id = cachedThreadId;
  return __builtin_expect(id != 0, 1) ? id : LookUpThreadId();
}

}  // namespace

Mutex::Mutex(bool recursive)
    : ownerThreadId(0),
      recursive(recursive),
      mutexImpl(recursive ? static_cast<void*>(new boost::recursive_mutex())
                          : static_cast<void*>(new boost::mutex())) {}

Mutex::~Mutex() {
  if (recursive) {
    delete &Recursive(mutexImpl);
  } else {
    delete &Plain(mutexImpl);
  }
}

void Mutex::ToggleLogging(bool /*enable*/) {}

void Mutex::RecordOwner() { ownerThreadId = CurrentThreadId(); }

void Mutex::Lock() {
  if (recursive) {
    Recursive(mutexImpl).lock();
  } else {
    // boost::mutex::lock() retries EINTR itself and throws lock_error on any
    // other failure, before the owner is recorded.
    Plain(mutexImpl).lock();
  }
  RecordOwner();
}

bool Mutex::TryLock() {
  bool acquired = false;
  try {
    acquired = recursive ? Recursive(mutexImpl).try_lock() : Plain(mutexImpl).try_lock();
  } catch (...) {
    return false;
  }
  if (acquired) RecordOwner();
  return acquired;
}

void Mutex::Unlock() {
  if (recursive) {
    Recursive(mutexImpl).unlock();
  } else {
    Plain(mutexImpl).unlock();
  }
}

}  // namespace KVO
