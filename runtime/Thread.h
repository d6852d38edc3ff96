#ifndef RUNTIME_THREAD_H_
#define RUNTIME_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/Mutex.h"

namespace KVO {

// A Mutex that is always recursive.
class SafeMutex : public Mutex {
 public:
  SafeMutex();
  ~SafeMutex() override;

  void Lock() override;
  void Unlock() override;
};

// Names for debuggers are not passed to the operating system; does nothing.
void SetDebugThreadName(const char* name);

// For tests: when set, each new thread calls `hook` with its object's stop
// flag before it decides whether to enter the body, so that a test can hold
// it at the entry. The destructor requests the stop only after it has closed
// the entry: a thread held until then never enters. The hook must not touch
// the object, whose destruction may be under way. Null removes it. Set it
// while no Thread is starting.
void SetThreadEntryHook(void (*hook)(const std::atomic<bool>& stopRequested));

// Abstract base of a named worker thread with a cooperative stop protocol.
//
// A subclass implements ThreadMain(), which runs once on a new thread per
// Start() and polls `stopRequested`. The owner stops it with RequestToStop(),
// wakes the body by whatever it sleeps on, and joins with WaitForStop().
// Nothing clears a stop request: a stopped worker is replaced, not restarted.
//
// Which destructions are safe. Start() takes the subclass's ThreadMain() from
// the vtable while the object is whole; from its first line on, each
// destructor rewrites the vtable, without any lock.
// - Any time after Start(), even before the thread reached the body: safe
//   for a class built with GCC that reaches Thread through no virtual base
//   and whose body uses nothing but Thread's members. A thread that has not
//   entered the body when ~Thread begins never does (never the pure one of a
//   bare Thread, which is all the object is by then); a body that did start
//   runs on through the subclasses' destructors and ~Thread's grace period.
// - A body that uses members of a subclass: the object's own class (the one
//   it was created as) calls RequestToStop(), wakes the body and calls
//   WaitForStop() in its destructor, before any member goes. This is safe
//   for every class: while that destructor runs, the vtable is unchanged.
// - A class that reaches Thread through a virtual base (Thread, or a class
//   holding it, inherited `virtual`, as in a diamond): what Start() takes is
//   a stub that finds the subclass's part through the vtable when the new
//   thread calls it, so a body that starts once a base class's destructor
//   has begun may run on a wrong object or crash, whatever it touches. Only
//   the stop and join in the object's own class's destructor, as above,
//   makes it safe; in a base class's destructor it is too late. Mark such a
//   class final.
// - Built with a compiler other than GCC, the new thread looks ThreadMain()
//   up itself when it gets there: every subclass stops and joins in its own
//   class's destructor, as above.
// Start() called before the object is whole (from a constructor, or with
// `autoStart`) runs the ThreadMain() of the class built so far, as a virtual
// call there would; where that one is pure, the new thread looks the body up
// itself when it gets there, which is safe only if the object is whole by
// then.
//
// Start(), SetName(), SetPriority(), WaitForStop(), Kill() and the destructor
// hold the object's recursive lock for their whole run (WaitForStop() and the
// destructor include the join), so the body must not call them on its own
// object. Names and priorities stay inside the object.
class Thread {
 public:
  // Stored, never applied to the operating system.
  enum PriorityLevel : int32_t {
    kPriorityNormal = 0,
    kPriorityLow = 1,
    kPriorityHigh = 2,
  };

  // `stopTimeoutMs` is the grace period the destructor sleeps after asking a
  // running body to stop, before it joins (0 or less: no sleep).
  // `autoStart` calls Start() from this constructor: the new thread may then
  // run before a subclass is fully built, so subclasses pass false and call
  // Start() themselves. Throws what Start() throws.
  Thread(std::string name, int stopTimeoutMs, bool autoStart);
  // Joins whatever thread it finds, so none is left joinable. Before that,
  // with a run under way, it requests a stop; the grace period is slept in
  // full, between the request and the join, exactly when the run's body had
  // been entered and had not returned before the request (whatever the body
  // does after it). A run not yet in its body is kept out of it, unslept.
  virtual ~Thread();

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Launches a run unless one is under way (then does nothing). An earlier
  // ended run is joined first. A failed thread creation propagates
  // std::system_error (or std::bad_alloc) and leaves the object unusable:
  // IsRunning() stays true.
  virtual void Start();
  // Sets the stop flag; takes no lock, returns at once.
  virtual void RequestToStop();
  // Sets the stop flag and joins the running or ended thread. Called on the
  // worker thread itself, the join fails with std::system_error.
  virtual void WaitForStop();
  // As WaitForStop(), but waits at most `timeoutMs` milliseconds for the
  // body to return (0 or less: not at all). True when the thread was joined
  // (or there was none); false, with nothing joined, when the body still runs
  // then: the object must then stay alive as long as the body may use it.
  // The join after the body has returned waits only for the thread's exit.
  bool WaitForStopWithin(int timeoutMs);

  // The entry point that runs on the new thread: calls ThreadMain() unless
  // destruction has begun, then clears IsRunning() either way.
  void THREAD_Main();
  // Thread names are not given to the operating system; does nothing.
  void THREAD_SetName();
  // Waits (yielding) until the body has returned; neither requests a stop
  // nor joins.
  void Kill();
  // Renames the thread; refused (false) once it has been started.
  bool SetName(std::string name);
  std::string GetName() const;
  bool IsRunning() const;
  bool HasBeenStarted() const;
  // Stores the level; applies nothing.
  void SetPriority(PriorityLevel level);

 protected:
  // The body; returns when it sees `stopRequested` or its work is done and
  // lets no exception escape.
  virtual int ThreadMain() = 0;

  // Result of the last completed ThreadMain().
  int mainResult;
  std::string name;
  std::atomic<bool> isRunning;
  std::atomic<bool> hasBeenStarted;
  // Read by the body without a lock; never cleared.
  std::atomic<bool> stopRequested;
  bool stopped;
  int stopTimeoutMs;
  SafeMutex mutex;
  std::shared_ptr<std::thread> thread;
  PriorityLevel priority;

 private:
  // Guards the two flags below, held only to test or set them. Where both
  // are taken, `mutex` comes first.
  std::mutex entryMutex;
  // Set by the destructor; a thread that sees it skips the body.
  bool destroying;
  // The current run's thread has passed the check and calls the body.
  bool bodyEntered;
  // Notified, under entryMutex, when a run clears isRunning.
  std::condition_variable runEnded;
  // The subclass's ThreadMain() as a plain function of the object, looked up
  // by Start() while the object is whole; null where the new thread
  // dispatches the virtual call itself.
  using Body = int (*)(Thread*);
  Body ResolveBody();
  Body body;
};

}  // namespace KVO

#endif  // RUNTIME_THREAD_H_
