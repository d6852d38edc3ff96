// What the simulator's tests share: process-wide logs of the buffers offered
// and of the reports delivered (copied, as records live only for the call),
// and a fixture that leaves no run behind.
#ifndef TESTS_API_SIMTESTSUPPORT_H_
#define TESTS_API_SIMTESTSUPPORT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TolvenixUtilities.h"

namespace simtest {

using Clock = std::chrono::steady_clock;

// A list that callbacks on other threads append to, and tests wait on.
template <typename T>
class SharedList {
 public:
  void Add(T item) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(item));
    }
    changed_.notify_all();
  }
  std::vector<T> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(items_, {});
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
  }
  // Waits, generously, until the list holds at least `n` items.
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return items_.size() >= n; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

struct Offer {
  unsigned char* buffer;
  Clock::time_point time;
};

inline SharedList<Offer>& Offers() {
  static SharedList<Offer> offers;
  return offers;
}

inline void CountOffer(unsigned char* buffer) { Offers().Add({buffer, Clock::now()}); }

// One delivered report. For a payload run `targets` holds what passed the
// inclusion test and `trails` one (id, xs, ys) per breadcrumb record.
struct Trail {
  uint32_t id = 0;
  std::vector<int> xs;
  std::vector<int> ys;
};

struct Report {
  void* context = nullptr;
  std::vector<TARGET> targets;
  std::vector<Trail> trails;
};

inline SharedList<Report>& Log() {
  static SharedList<Report> log;
  return log;
}

inline void OnTargets(void* context, unsigned int count, TARGET* targets) {
  Report report;
  report.context = context;
  report.targets.assign(targets, targets + count);
  Log().Add(std::move(report));
}

// Reads the payload only through size(), operator[] and at(), as a host
// compiled against the public header would.
inline void OnPayload(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  Report report;
  report.context = payload->context;
  for (unsigned long i = 0; i < payload->targets.size(); ++i) {
    report.targets.push_back(payload->targets[i]);
  }
  for (unsigned long i = 0; i < payload->breadcrumbs.size(); ++i) {
    const LandPayload_Breadcrumb& crumb = payload->breadcrumbs.at(i);
    Trail trail;
    trail.id = crumb.id;
    for (unsigned long k = 0; k < crumb.xs.size(); ++k) trail.xs.push_back(crumb.xs[k]);
    for (unsigned long k = 0; k < crumb.ys.size(); ++k) trail.ys.push_back(crumb.ys.at(k));
    report.trails.push_back(std::move(trail));
  }
  Log().Add(std::move(report));
}

inline void NoTargets(void*, unsigned int, TARGET*) {}
inline void NoPayload(TargetPayloadBase*) {}

inline void* ContextOf(uintptr_t n) { return reinterpret_cast<void*>(n); }

// Hands back `calls` frames with contexts first, first + 1, ... and takes
// the reports logged so far.
inline std::vector<Report> HandBack(int calls, uintptr_t first = 1) {
  for (int i = 0; i < calls; ++i) SIMProcessNextFrame(ContextOf(first + i));
  return Log().Take();
}

inline API_InstanceTypeEnum Type(uint32_t t) { return static_cast<API_InstanceTypeEnum>(t); }

// Starts a run at depth 1 reporting through the TARGET or the payload form.
inline bool StartTargets(API_InstanceTypeEnum type = API_INSTANCE_LAND, int width = 640,
                         int height = 480, TargetCallback callback = &OnTargets) {
  return SIMStart(type, width, height, 1, callback);
}
inline bool StartPayload(API_InstanceTypeEnum type = API_INSTANCE_LAND, int width = 640,
                         int height = 480, TargetPayloadCallback callback = &OnPayload) {
  return SIMStart(type, width, height, 1, callback, nullptr, nullptr);
}

// Each case starts and ends with no run, no ready callback and empty logs.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    SIMStop();
    SIMRegisterReadyForNewInputCallback(nullptr);
    Offers().Take();
    Log().Take();
  }
};

}  // namespace simtest

#endif  // TESTS_API_SIMTESTSUPPORT_H_
