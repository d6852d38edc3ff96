// KVO::Mutex beside std::mutex: the wrapper must cost no more than a virtual
// call on top of the lock it wraps.
#include <mutex>

#include <benchmark/benchmark.h>

#include "runtime/Mutex.h"
#include "runtime/Thread.h"

namespace {

void BM_StdMutex(benchmark::State& state) {
  std::mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdMutex);

void BM_KvoPlainMutex(benchmark::State& state) {
  KVO::Mutex m(false);
  for (auto _ : state) {
    m.Lock();
    m.Unlock();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KvoPlainMutex);

void BM_StdRecursiveMutex(benchmark::State& state) {
  std::recursive_mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdRecursiveMutex);

void BM_KvoSafeMutex(benchmark::State& state) {
  KVO::SafeMutex m;
  for (auto _ : state) {
    m.Lock();
    m.Unlock();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KvoSafeMutex);

}  // namespace
