#include "runtime/Thread.h"

#include <sched.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace KVO {

namespace {

// Holds the lock for a scope; the Mutex interface has no RAII guard of its own.
class Hold {
 public:
  explicit Hold(Mutex& m) : m_(m) { m_.Lock(); }
  ~Hold() { m_.Unlock(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Mutex& m_;
};

void SleepMs(int ms) {
  timespec remaining{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace

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
      priority(kPriorityNormal) {
  if (autoStart) Start();
}

Thread::~Thread() {
  Hold hold(mutex);
  if (isRunning && thread) {
    stopRequested = true;
    if (stopTimeoutMs > 0) SleepMs(stopTimeoutMs);
  }
  if (thread && thread->joinable()) thread->join();
}

void Thread::Start() {
  Hold hold(mutex);
  if (isRunning) return;
  isRunning = true;
  if (thread && thread->joinable()) thread->join();
  thread = std::make_shared<std::thread>(&Thread::THREAD_Main, this);
  SetPriority(priority);
}

void Thread::RequestToStop() { stopRequested = true; }

void Thread::WaitForStop() {
  Hold hold(mutex);
  stopRequested = true;
  if (thread && thread->joinable()) thread->join();
  stopped = true;
}

void Thread::THREAD_Main() {
  hasBeenStarted = true;
  mainResult = ThreadMain();
  isRunning = false;
}

void Thread::THREAD_SetName() {}

void Thread::Kill() {
  Hold hold(mutex);
  // A failed launch leaves isRunning set with no thread behind it: there is
  // nothing to wait for then.
  while (isRunning && thread && thread->joinable()) sched_yield();
  stopped = true;
}

bool Thread::SetName(std::string newName) {
  Hold hold(mutex);
  if (hasBeenStarted || isRunning) return false;
  name = std::move(newName);
  return true;
}

std::string Thread::GetName() const { return name; }
bool Thread::IsRunning() const { return isRunning; }
bool Thread::HasBeenStarted() const { return hasBeenStarted; }

void Thread::SetPriority(PriorityLevel level) {
  Hold hold(mutex);
  priority = level;
}

}  // namespace KVO

