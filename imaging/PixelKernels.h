#ifndef IMAGING_PIXELKERNELS_H_
#define IMAGING_PIXELKERNELS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// Internal: vector row kernels for the 8-bit conversions, flips and white
// balance, chosen once at run time from what the CPU offers. Every kernel
// gives bit-identical results to the portable loops in the conversion
// sources, which remain the reference and the fallback.
namespace KVO {
namespace PixelKernels {

// Row kernels over `pixels` pixels (bytes for Copy) that are packed within
// the row. With `stream` the destination is written with non-temporal
// stores; the caller calls FinishStreaming() once the whole image is done.
// Source and destination must not overlap.
struct AcceleratedKernels {
  const char* name;
  void (*copy)(const std::uint8_t* source, std::uint8_t* destination, std::size_t bytes,
               bool stream);
  void (*expand1To3)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                     bool stream);
  void (*expand1To4)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                     bool stream);
  void (*drop4To3)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                   bool stream);
  void (*pad3To4)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                  bool stream);
  void (*grey3To1)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                   bool stream);
  void (*grey4To1)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                   bool stream);
  // Mirrors a row of `pixels` pixels of `pixelBytes` bytes (1, 2, 3, 4 or
  // 8) through the caches: destination pixel x is source pixel
  // pixels - 1 - x, its bytes in their order. Other pixel sizes are the
  // caller's to handle.
  void (*mirror)(const std::uint8_t* source, std::uint8_t* destination, std::size_t pixels,
                 std::size_t pixelBytes);
  // Exchanges `bytes` bytes at `a` and `b`, which must not overlap.
  void (*swap)(std::uint8_t* a, std::uint8_t* b, std::size_t bytes);
  // In place over `pixels` pixels of `step` bytes (3 or 4): byte c of each
  // pixel (c < 3) becomes `levels`[c] <= v ? 255 : trunc(v * factors[c]).
  void (*whiteBalance)(std::uint8_t* pixels, std::size_t count, int step, const float factors[3],
                       const std::uint8_t levels[3]);
};

// The kernel set in use: the best one this CPU supports unless a test has
// selected another; null means the portable loops. Thread-safe.
const AcceleratedKernels* Accelerated();

// Every kernel set this CPU can run, best first.
std::vector<const AcceleratedKernels*> SupportedKernelSets();

// Makes `kernels` (one of SupportedKernelSets(), or null for the portable
// loops) the set in use, so tests can compare every set on any machine.
// Not meant to race with running conversions.
void SelectKernels(const AcceleratedKernels* kernels);

// Back to the best supported set.
void SelectBestKernels();

// Whether an image operation that reads and writes `footprintBytes` bytes
// in all should write around the caches (never without an accelerated set):
// only operations too large to stay cached gain from it.
bool ShouldStream(std::size_t footprintBytes);

// The footprint from which operations stream; tests lower it to run the
// streaming paths on small images. Not meant to race with conversions.
constexpr std::size_t kDefaultStreamThresholdBytes = std::size_t{24} << 20;
void SetStreamThreshold(std::size_t bytes);

// Asks for the cache lines of `bytes` bytes at `row` ahead of writing
// (kForWrite 1) or reading (0) them. Rows walked bottom-up, and rows read
// from their end, defeat the hardware prefetchers, which only follow
// forward streams; requesting the next row early restores the pace.
template <int kForWrite>
inline void PrefetchRow(const void* row, std::size_t bytes) {
  constexpr std::size_t kCacheLineBytes = 64;
  const char* p = static_cast<const char*>(row);
  for (std::size_t offset = 0; offset < bytes; offset += kCacheLineBytes) {
    __builtin_prefetch(p + offset, kForWrite);
  }
}

// Orders non-temporal stores before the operation returns.
void FinishStreaming();

#if defined(__x86_64__)
// The AVX2 set; use only when the CPU supports AVX2.
const AcceleratedKernels* Avx2Kernels();
// The AVX2 set with AVX-512 VBMI grey (3 -> 1) and white balance; use only
// when the CPU supports AVX2, AVX-512 BW and AVX-512 VBMI.
const AcceleratedKernels* Avx512VbmiKernels();
#endif

}  // namespace PixelKernels
}  // namespace KVO

#endif  // IMAGING_PIXELKERNELS_H_
