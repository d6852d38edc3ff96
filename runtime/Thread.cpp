#include "runtime/Thread.h"

#include <sched.h>

#include <utility>

#include "runtime/Sleep.h"

namespace KVO {

SafeMutex::SafeMutex() : Mutex(true) {}
SafeMutex::~SafeMutex() = default;
void SafeMutex::Lock() { Mutex::Lock(); }
void SafeMutex::Unlock() { Mutex::Unlock(); }

void SetDebugThreadName(const char* /*name*/) {}

Thread::Thread(std::string name, int stopTimeoutMs, bool autoStart)
    : mainResult(0),
      name(std::move(name)),
      isRunning(false),
      hasBeenStarted(false),
      stopRequested(false),
      stopped(false),
      stopTimeoutMs(stopTimeoutMs),
      priority(kPriorityNormal),
      destroying(false),
      bodyEntered(false) {
  if (autoStart) Start();
}

// The vtable is already Thread's here, before any line of this body: a thread
// that has not yet dispatched ThreadMain() would call the pure one. So the
// first thing done is to shut the entry (see THREAD_Main). The switch still
// comes first: a thread that passes the entry just before it, or between it
// and the flag, dispatches after it. Only a subclass destructor that stops
// and joins before this one runs closes that.
Thread::~Thread() {
  MutexLock hold(mutex);
  bool entered = false;
  {
    std::lock_guard<std::mutex> entry(entryMutex);
    destroying = true;
    entered = bodyEntered;
  }
  stopRequested = true;
  // Grace is for a body at work; one that never ran has nothing to finish.
  if (entered && isRunning && thread) SleepMs(stopTimeoutMs);
  if (thread && thread->joinable()) thread->join();
}

void Thread::Start() {
  MutexLock hold(mutex);
  if (isRunning) return;
  isRunning = true;
  if (thread && thread->joinable()) thread->join();
  {
    std::lock_guard<std::mutex> entry(entryMutex);
    bodyEntered = false;
  }
  thread = std::make_shared<std::thread>(&Thread::THREAD_Main, this);
  SetPriority(priority);
}

void Thread::RequestToStop() { stopRequested = true; }

void Thread::WaitForStop() {
  MutexLock hold(mutex);
  stopRequested = true;
  if (thread && thread->joinable()) thread->join();
  stopped = true;
}

void Thread::THREAD_Main() {
  // Not `mutex`: WaitForStop() and Kill() hold it while they wait for this
  // thread, which would then never get past here.
  {
    std::lock_guard<std::mutex> entry(entryMutex);
    if (destroying) {
      isRunning = false;
      return;
    }
    bodyEntered = true;
    hasBeenStarted = true;
  }
  mainResult = ThreadMain();
  isRunning = false;
}

void Thread::THREAD_SetName() {}

void Thread::Kill() {
  MutexLock hold(mutex);
  // A failed launch leaves isRunning set with no thread behind it: there is
  // nothing to wait for then.
  while (isRunning && thread && thread->joinable()) sched_yield();
  stopped = true;
}

bool Thread::SetName(std::string newName) {
  MutexLock hold(mutex);
  if (hasBeenStarted || isRunning) return false;
  name = std::move(newName);
  return true;
}

std::string Thread::GetName() const { return name; }
bool Thread::IsRunning() const { return isRunning; }
bool Thread::HasBeenStarted() const { return hasBeenStarted; }

void Thread::SetPriority(PriorityLevel level) {
  MutexLock hold(mutex);
  priority = level;
}

}  // namespace KVO
