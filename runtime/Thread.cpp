#include "runtime/Thread.h"

#include <cxxabi.h>
#include <sched.h>

#include <chrono>
#include <utility>

#include "runtime/Sleep.h"

namespace KVO {

SafeMutex::SafeMutex() : Mutex(true) {}
SafeMutex::~SafeMutex() = default;
void SafeMutex::Lock() { Mutex::Lock(); }
void SafeMutex::Unlock() { Mutex::Unlock(); }

void SetDebugThreadName(const char* /*name*/) {}

namespace {
std::atomic<void (*)(const std::atomic<bool>&)> entryHook{nullptr};
}  // namespace

void SetThreadEntryHook(void (*hook)(const std::atomic<bool>&)) { entryHook = hook; }

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
      bodyEntered(false),
      body(nullptr) {
  if (autoStart) Start();
}

// GCC's bound member functions look the function up in the object's vtable
// now; other compilers answer null and the new thread dispatches the call
// itself. So it does where the object is not whole yet and its class so far
// is abstract (Start() called from a constructor): the pure slot would end
// the process, where the subclass's body may be in place by the time the
// thread dispatches. Through a virtual base the slot holds a stub that reads
// the vtable again when called; nothing looked up here avoids that, and no
// fallback is sound once a base's destructor has rewritten it, so such
// classes stop and join in their own destructor (see the header).
Thread::Body Thread::ResolveBody() {
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpmf-conversions"
  const auto resolved = reinterpret_cast<Body>(this->*(&Thread::ThreadMain));
#pragma GCC diagnostic pop
  const auto pure = reinterpret_cast<Body>(&abi::__cxa_pure_virtual);
  return resolved == pure ? nullptr : resolved;
#else
  return nullptr;
#endif
}

// The vtable is already Thread's here, before any line of this body, so a
// thread that dispatched ThreadMain() now would call the pure one. Start()
// looked the body up while the object was whole, so the thread never reads
// the vtable; and one that has not reached the body yet is kept out of it.
Thread::~Thread() {
  MutexLock hold(mutex);
  bool entered = false;
  {
    std::lock_guard<std::mutex> entry(entryMutex);
    destroying = true;
    entered = bodyEntered;
  }
  // Both read before the request: a body that ends promptly on it would
  // otherwise be seen as ended, and its grace would depend on who won.
  const bool running = isRunning && thread;
  // Grace is for a body at work; one that never ran has nothing to finish.
  const bool grace = running && entered;
  if (running) stopRequested = true;
  if (grace) SleepMs(stopTimeoutMs);
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
  // Looked up here, on the caller's thread, where the object is whole (and
  // stays so until Start() returns): the destructor rewrites the vtable the
  // moment it begins, without any lock, so the new thread must not read it.
  body = ResolveBody();
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

bool Thread::WaitForStopWithin(int timeoutMs) {
  MutexLock hold(mutex);
  stopRequested = true;
  {
    std::unique_lock<std::mutex> entry(entryMutex);
    // A failed launch leaves isRunning set with no thread behind it.
    const auto ended = [this] { return !isRunning || !thread || !thread->joinable(); };
    if (!runEnded.wait_for(entry, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                           ended)) {
      return false;
    }
  }
  if (thread && thread->joinable()) thread->join();
  stopped = true;
  return true;
}

void Thread::THREAD_Main() {
  // Outside the entry lock, so that a thread held here cannot keep the
  // destructor from closing the entry.
  if (auto* hook = entryHook.load()) hook(stopRequested);
  // Not `mutex`: WaitForStop() and Kill() hold it while they wait for this
  // thread, which would then never get past here.
  {
    std::lock_guard<std::mutex> entry(entryMutex);
    if (destroying) {
      isRunning = false;
      runEnded.notify_all();
      return;
    }
    bodyEntered = true;
    hasBeenStarted = true;
  }
  mainResult = body != nullptr ? body(this) : ThreadMain();
  // Notified under the lock: a bounded waiter that sees the run end joins
  // before it may destroy the object, so the notification never outlives it.
  std::lock_guard<std::mutex> entry(entryMutex);
  isRunning = false;
  runEnded.notify_all();
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
