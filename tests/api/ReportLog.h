// Captures what the simulator's result callbacks deliver, for host tests.
//
// The callbacks are plain function pointers, so the log is process-wide. They
// run on the thread that hands frames back, with the simulator's lock held;
// the log copies everything it needs, since records live only for the call.
#ifndef TESTS_API_REPORTLOG_H_
#define TESTS_API_REPORTLOG_H_

#include <cstdint>
#include <mutex>
#include <vector>

#include "TolvenixUtilities.h"

namespace simtest {

// One delivered report. For a TARGET run `targets` holds the record; for a
// payload run it holds what passed the inclusion test, and `trails` one
// trail per breadcrumb record, each as (id, xs, ys).
struct Trail {
  uint32_t id = 0;
  std::vector<int> xs;
  std::vector<int> ys;
};

struct Report {
  void* context = nullptr;
  unsigned int count = 0;  // the TARGET callback's record count
  bool fromPayload = false;
  std::vector<TARGET> targets;
  std::vector<Trail> trails;
};

class ReportLog {
 public:
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.clear();
  }
  std::vector<Report> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Report> taken;
    taken.swap(reports_);
    return taken;
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_.size();
  }
  void Add(Report report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(std::move(report));
  }

 private:
  std::mutex mutex_;
  std::vector<Report> reports_;
};

inline ReportLog& Log() {
  static ReportLog log;
  return log;
}

inline void OnTargets(void* context, unsigned int count, TARGET* targets) {
  Report report;
  report.context = context;
  report.count = count;
  report.targets.assign(targets, targets + count);
  Log().Add(std::move(report));
}

// Reads the payload only through size(), operator[] and at(), as a host
// compiled against the public header would.
inline void OnPayload(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  Report report;
  report.context = payload->context;
  report.fromPayload = true;
  for (unsigned long i = 0; i < payload->targets.size(); ++i) {
    report.targets.push_back(payload->targets[i]);
  }
  for (unsigned long i = 0; i < payload->breadcrumbs.size(); ++i) {
    const LandPayload_Breadcrumb& crumb = payload->breadcrumbs.at(i);
    Trail trail;
    trail.id = crumb.id;
    for (unsigned long k = 0; k < crumb.xs.size(); ++k) {
      trail.xs.push_back(crumb.xs[k]);
    }
    for (unsigned long k = 0; k < crumb.ys.size(); ++k) {
      trail.ys.push_back(crumb.ys.at(k));
    }
    report.trails.push_back(std::move(trail));
  }
  Log().Add(std::move(report));
}

inline void* ContextOf(uintptr_t n) { return reinterpret_cast<void*>(n); }

// Hands back `calls` frames with contexts first, first + 1, ...
inline void HandBack(int calls, uintptr_t first = 1) {
  for (int i = 0; i < calls; ++i) SIMProcessNextFrame(ContextOf(first + i));
}

}  // namespace simtest

#endif  // TESTS_API_REPORTLOG_H_
