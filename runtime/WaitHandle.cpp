#include "runtime/WaitHandle.h"

#include <cstdint>

#include <boost/chrono.hpp>
#include <boost/thread/exceptions.hpp>
#include <boost/thread/lock_types.hpp>

namespace KVO {

WaitHandle::WaitHandle() : WaitHandle(false, true) {}

WaitHandle::WaitHandle(bool initiallySignalled, bool autoReset)
    : unsignalled(!initiallySignalled), autoReset(autoReset) {}

void WaitHandle::Set() {
  boost::unique_lock<boost::mutex> lock(mutex);
  unsignalled = false;
  // Notify while holding the mutex so a waiter that has just tested the flag
  // cannot miss this signal before it sleeps.
  condition.notify_all();
}

void WaitHandle::Reset() {
  boost::unique_lock<boost::mutex> lock(mutex);
  unsignalled = true;
}

void WaitHandle::WaitOne() {
  boost::unique_lock<boost::mutex> lock(mutex);
  while (unsignalled) {
    try {
      condition.wait(lock);
    } catch (const boost::thread_interrupted&) {
      // An interruption or a failed wait must not lose the event: keep waiting.
    } catch (const boost::condition_error&) {
    }
  }
  if (autoReset) unsignalled = true;
}

bool WaitHandle::WaitOne(int timeoutMs) {
  boost::unique_lock<boost::mutex> lock(mutex);
  // A steady clock keeps the time-out honest when the wall clock is changed.
  const auto deadline =
      boost::chrono::steady_clock::now() + boost::chrono::nanoseconds(int64_t{timeoutMs} * 1000000);
  try {
    while (unsignalled) {
      if (condition.wait_until(lock, deadline) == boost::cv_status::timeout) break;
    }
  } catch (const boost::thread_interrupted&) {
    // Fall through: a Set() that arrived before the failure still counts.
  } catch (const boost::condition_error&) {
  }
  const bool signalled = !unsignalled;
  if (autoReset) unsignalled = true;
  return signalled;
}

}  // namespace KVO
