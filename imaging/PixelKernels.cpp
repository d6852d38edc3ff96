#include "imaging/PixelKernels.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace KVO {
namespace PixelKernels {

namespace {

std::vector<const AcceleratedKernels*> Detect() {
  std::vector<const AcceleratedKernels*> sets;
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi")) {
      sets.push_back(Avx512VbmiKernels());
    }
    sets.push_back(Avx2Kernels());
  }
#endif
  return sets;
}

const std::vector<const AcceleratedKernels*>& Supported() {
  static const std::vector<const AcceleratedKernels*> sets = Detect();
  return sets;
}

std::atomic<const AcceleratedKernels*>& Current() {
  static std::atomic<const AcceleratedKernels*> current{Supported().empty() ? nullptr
                                                                            : Supported().front()};
  return current;
}

// From this footprint source and destination cannot both stay in the shared
// cache, so writing around it saves the read-for-ownership of every
// destination line; smaller images are better left cached for their next
// user.
std::atomic<std::size_t> streamThresholdBytes{kDefaultStreamThresholdBytes};

}  // namespace

const AcceleratedKernels* Accelerated() { return Current().load(std::memory_order_relaxed); }

std::vector<const AcceleratedKernels*> SupportedKernelSets() { return Supported(); }

void SelectKernels(const AcceleratedKernels* kernels) {
  Current().store(kernels, std::memory_order_relaxed);
}

void SelectBestKernels() { SelectKernels(Supported().empty() ? nullptr : Supported().front()); }

bool ShouldStream(std::size_t footprintBytes) {
  return Accelerated() != nullptr &&
         footprintBytes >= streamThresholdBytes.load(std::memory_order_relaxed);
}

void SetStreamThreshold(std::size_t bytes) {
  streamThresholdBytes.store(bytes, std::memory_order_relaxed);
}

void FinishStreaming() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_sfence();
#endif
}

}  // namespace PixelKernels
}  // namespace KVO
