// SIMProcessNextFrame per processed frame beside one memcpy of a 1920 x 1080
// one-byte frame: the simulator's overhead must vanish next to touching the
// frame once (at most 1% of the copy on the TARGET path, 5% on the payload
// path with a full 200-point trail). Compare the ratios of one run.
#include <cstring>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kWidth) * kHeight;
constexpr int kFullTrailPoints = 200;

void BM_MemcpyFrame1080p(benchmark::State& state) {
  std::vector<unsigned char> source(kFrameBytes, 0x3C);
  std::vector<unsigned char> destination(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), kFrameBytes);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_MemcpyFrame1080p);

unsigned long long trailPoints = 0;

void CountTargets(void*, unsigned int count, TARGET* targets) {
  trailPoints += count + targets[0].id;
}

void CountTrail(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  if (payload->breadcrumbs.size() > 0) {
    trailPoints += payload->breadcrumbs[0].xs.size();
  }
}

// The host's ready-for-new-input callback. As in a real run the worker
// spends its time pacing the offers, so a hand-back rarely finds it waiting.
void IgnoreOffer(unsigned char*) {}

// Fills the ring so that every following call processes one frame.
void FillRing() {
  for (int i = 0; i < kFrameRingSlots - 1; ++i) SIMProcessNextFrame(nullptr);
}

void RunTargetPath(benchmark::State& state, ReadyForNewInputCallback onOffer) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(onOffer);
  SIMStart(API_INSTANCE_LAND, kWidth, kHeight, 1, &CountTargets);
  FillRing();
  for (auto _ : state) SIMProcessNextFrame(nullptr);
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  state.SetItemsProcessed(state.iterations());
  benchmark::DoNotOptimize(trailPoints);
}

void BM_ProcessFrameTargetPath(benchmark::State& state) { RunTargetPath(state, &IgnoreOffer); }
BENCHMARK(BM_ProcessFrameTargetPath);

// Without a ready-for-new-input callback the worker waits on its wake-up
// event, so every hand-back pays for waking it.
void BM_ProcessFrameTargetPathIdleWorker(benchmark::State& state) { RunTargetPath(state, nullptr); }
BENCHMARK(BM_ProcessFrameTargetPathIdleWorker);

// Holds the history at 200 points with the target moving and no point due,
// so every frame copies the full trail. Two stores per frame, under the lock
// the frame takes anyway.
void KeepTrailFull() {
  std::lock_guard<std::mutex> lock(simMutex);
  simLifetime = 1000;
  targetHistoryTracker = 1;
}

void BM_ProcessFramePayloadFullTrail(benchmark::State& state) {
  SIMStop();
  SIMRegisterReadyForNewInputCallback(&IgnoreOffer);
  SIMStart(API_INSTANCE_LAND, kWidth, kHeight, 1, &CountTrail, nullptr, nullptr);
  SIMClearBorderMaskAndOverlay();
  SIMSetDesiredBreadcrumbTrailLength(3);
  {
    std::lock_guard<std::mutex> lock(simMutex);
    simTargetHistory.clear();
    for (int i = 0; i < kFullTrailPoints; ++i) {
      simTargetHistory.push_back({100 + i, 200 + i});
    }
    breadCrumpCount = kFullTrailPoints;
  }
  FillRing();
  trailPoints = 0;
  for (auto _ : state) {
    KeepTrailFull();
    SIMProcessNextFrame(nullptr);
  }
  const bool trailWasFull =
      trailPoints == static_cast<unsigned long long>(state.iterations()) * kFullTrailPoints;
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  if (!trailWasFull) state.SkipWithError("the trail was not kept full");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessFramePayloadFullTrail);

}  // namespace
