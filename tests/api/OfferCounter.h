// Counts the simulator's buffer offers, for tests that wait for them.
#ifndef TESTS_API_OFFERCOUNTER_H_
#define TESTS_API_OFFERCOUNTER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace simtest {

class OfferCounter {
 public:
  void Add() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
    }
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
  }
  // Waits, generously, until at least `n` offers have been counted.
  bool WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return count_ >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// The ready-for-new-input callback is a plain function pointer, so the
// counter is process-wide.
inline OfferCounter& Offers() {
  static OfferCounter counter;
  return counter;
}

inline void CountOffer(unsigned char*) { Offers().Add(); }

}  // namespace simtest

#endif  // TESTS_API_OFFERCOUNTER_H_
