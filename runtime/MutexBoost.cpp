#include "runtime/Mutex.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>

namespace KVO {

namespace {

boost::mutex& Plain(void* impl) { return *static_cast<boost::mutex*>(impl); }
boost::recursive_mutex& Recursive(void* impl) {
  return *static_cast<boost::recursive_mutex*>(impl);
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

void Mutex::RecordOwner() {
  ownerThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
}

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
