#include "runtime/CompoThread.h"

#include <cxxabi.h>

#include <exception>
#include <iostream>
#include <system_error>
#include <utility>

namespace KVO {

CompoThread::CompoThread(const std::string& name) : running(false), name(name) {}

CompoThread::~CompoThread() {
  if (thread.joinable()) thread.join();
}

void CompoThread::Start(const std::function<void()>& f) {
  bool expected = false;
  // Exactly one of several concurrent Start() calls wins this exchange.
  if (!running.compare_exchange_strong(expected, true)) return;
  try {
    // An earlier run may have ended without being joined; std::thread's
    // move assignment would terminate on a joinable target.
    if (thread.joinable()) thread.join();
    // The bound copy of f belongs to the new thread, so the caller's f may
    // go away as soon as we return.
    thread = std::thread(&CompoThread::DoThread, this, f);
  } catch (const std::system_error& e) {
    std::cout << "Caught system_error with code " << e.code() << std::endl
              << " meaning " << e.what() << std::endl;
  }
}

void CompoThread::Start(void (*f)()) {
  Start(f ? std::function<void()>(f) : std::function<void()>());
}

void CompoThread::Join() {
  if (thread.joinable()) thread.join();
}

bool CompoThread::SetName(const std::string& newName) {
  if (running.load()) return false;
  name = newName;
  return true;
}

std::string CompoThread::GetName() const { return name; }

bool CompoThread::IsRunning() const { return running.load(); }

void CompoThread::InstallThreadName() {}

void CompoThread::DoThread(const std::function<void()>& f) {
  // An exception leaving a thread's function would end the host's process;
  // report it instead and still mark the run as finished.
  try {
    if (f) f();
  } catch (abi::__forced_unwind&) {
    // Thread cancellation unwinds through here and must go on unwinding.
    running.store(false);
    throw;
  } catch (const std::exception& e) {
    std::cerr << "CompoThread " << name << ": run ended by exception: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "CompoThread " << name << ": run ended by an unknown exception" << std::endl;
  }
  running.store(false);
}

}  // namespace KVO
