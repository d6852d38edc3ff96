#ifndef RUNTIME_COMPOTHREAD_H_
#define RUNTIME_COMPOTHREAD_H_

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace KVO {

// A named thread holder that an owner composes into itself instead of
// deriving from a thread class. Each Start() runs the given callable once on
// a new thread. There is no stop flag: the owner tells its callable to
// finish by its own means, then calls Join().
//
// Thread use: Start(), Join(), SetName() and the destructor are called by the
// owner from one thread at a time. IsRunning() and GetName() may be called
// from any thread (GetName() only while no SetName() runs).
//
// The name stays inside the object; it is never given to the operating
// system.
class CompoThread {
 public:
  explicit CompoThread(const std::string& name);

  // Joins a thread still running or not yet joined (waits for the callable
  // to return). Does not ask the callable to stop: the owner does that first.
  ~CompoThread();

  CompoThread(const CompoThread&) = delete;
  CompoThread& operator=(const CompoThread&) = delete;

  // Launches a run of a copy of `f` unless a run is under way, in which case
  // it returns at once and `f` is not copied. An empty `f` launches a thread
  // that calls nothing. The caller's `f` may be destroyed once Start()
  // returns.
  // A failed launch (or a failed join of an earlier run) is caught and
  // written to standard output as two lines, "Caught system_error with code "
  // + code and " meaning " + explanation; the object then stays marked
  // running, so later Start() calls do nothing. std::bad_alloc propagates,
  // also leaving the object marked running.
  // Note: a captureless lambda converts to both overloads; pass such a
  // callable as a std::function or a function pointer explicitly.
  void Start(const std::function<void()>& f);

  // As above with a plain function; a null pointer launches a thread that
  // calls nothing.
  void Start(void (*f)());

  // Waits for the latest run's thread when it has not been joined yet;
  // returns at once otherwise. A failed join (for instance from the run's own
  // thread) propagates as std::system_error.
  void Join();

  // Answers false and keeps the name while a run is under way.
  bool SetName(const std::string& name);
  std::string GetName() const;

  // True from a successful Start() until the callable has returned. False
  // does not mean joined: the thread may still be finishing.
  bool IsRunning() const;

  // Thread names stay inside the object; kept for interface compatibility.
  void InstallThreadName();

 private:
  // Body of every run, on the new thread. An exception escaping `f` is
  // reported on standard error and does not end the process.
  void DoThread(const std::function<void()>& f);

  std::atomic<bool> running;
  std::string name;
  std::thread thread;
};

}  // namespace KVO

#endif  // RUNTIME_COMPOTHREAD_H_
