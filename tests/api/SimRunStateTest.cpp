// The simulator's run state under host behaviour that the public interface
// cannot stage on its own: calls racing from several threads and a wall
// clock set back. The core archive is linked to reach the state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "TolvenixUtilities.h"
#include "api/SimState.h"
#include "runtime/PerformanceTimer.h"

namespace {

void OnPayload(TargetPayloadBase*) {}

// A run that is not active has no worker; a worker without a run would offer
// freed buffers and outlive every SIMStop.
bool WorkerOnlyWithARun() {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() || inputPayloadThread == nullptr;
}

TEST(SimRunState, AStopThatFoundNoRunLeavesARunStartedMeanwhile) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  // One thread starts runs, one stops them, one watches the state between.
  std::atomic<bool> done{false};
  std::atomic<int> orphaned{0};
  std::thread stopper([&] {
    while (!done.load()) SIMStop();
  });
  std::thread watcher([&] {
    while (!done.load()) {
      if (!WorkerOnlyWithARun()) orphaned.fetch_add(1);
    }
  });
  int started = 0;
  while (started < 2000 && orphaned.load() == 0) {
    if (SIMStart(API_INSTANCE_LAND, 16, 16, 1, &OnPayload, nullptr, nullptr)) ++started;
  }
  done.store(true);
  stopper.join();
  watcher.join();
  SIMStop();
  EXPECT_EQ(orphaned.load(), 0) << "after " << started << " runs";
  EXPECT_TRUE(WorkerOnlyWithARun());
  EXPECT_EQ(SIMGetAPIStatus(), 9);
}

}  // namespace
