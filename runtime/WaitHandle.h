#ifndef RUNTIME_WAITHANDLE_H_
#define RUNTIME_WAITHANDLE_H_

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

namespace KVO {

// An event, manual-reset or auto-reset.
//
// A Set() made before anybody waits is remembered; signals do not count up,
// so an auto-reset handle releases one waiter per signalled period however
// many Set() calls came first. Any number of threads may set, reset and wait
// at once. Every member but the constructors and destructor raises
// boost::lock_error, before any change, when the internal mutex cannot be
// taken. Not copyable.
class WaitHandle {
 public:
  // Unsignalled, auto-reset.
  WaitHandle();
  // Throws boost::thread_resource_error when the platform primitives cannot
  // be initialised.
  WaitHandle(bool initiallySignalled, bool autoReset);
  // No thread may be waiting.
  ~WaitHandle() = default;

  WaitHandle(const WaitHandle&) = delete;
  WaitHandle& operator=(const WaitHandle&) = delete;

  // Signals the event and wakes every waiter.
  void Set();
  // Makes the event unsignalled; wakes nobody.
  void Reset();
  // Returns once the event is signalled; an auto-reset handle is consumed.
  void WaitOne();
  // Waits at most `timeoutMs` milliseconds (0 or less: no wait). True when
  // the event is signalled (consuming an auto-reset handle), false when the
  // time ran out first.
  bool WaitOne(int timeoutMs);

 private:
  boost::mutex mutex;
  boost::condition_variable condition;
  bool unsignalled;  // guarded by mutex
  const bool autoReset;
};

}  // namespace KVO

#endif  // RUNTIME_WAITHANDLE_H_
