#include "imaging/PixelKernels.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace KVO {
namespace PixelKernels {

namespace {

std::atomic<bool> accelerationEnabled{true};

const AcceleratedKernels* Detect() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return Avx2Kernels();
#endif
  return nullptr;
}

// Above this the destination cannot stay in a core's caches anyway, so
// writing around them saves the read-for-ownership of every line.
constexpr std::size_t kStreamThresholdBytes = std::size_t{4} << 20;

}  // namespace

const AcceleratedKernels* Accelerated() {
  static const AcceleratedKernels* const detected = Detect();
  return accelerationEnabled.load(std::memory_order_relaxed) ? detected : nullptr;
}

void EnableAcceleration(bool enabled) {
  accelerationEnabled.store(enabled, std::memory_order_relaxed);
}

bool ShouldStream(std::size_t destinationBytes) {
  return Accelerated() != nullptr && destinationBytes >= kStreamThresholdBytes;
}

void FinishStreaming() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_sfence();
#endif
}

}  // namespace PixelKernels
}  // namespace KVO
