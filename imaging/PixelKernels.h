#ifndef IMAGING_PIXELKERNELS_H_
#define IMAGING_PIXELKERNELS_H_

#include <cstddef>
#include <cstdint>

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
  // In place over `pixels` pixels of `step` bytes (3 or 4): byte c of each
  // pixel (c < 3) becomes `levels`[c] <= v ? 255 : trunc(v * factors[c]).
  void (*whiteBalance)(std::uint8_t* pixels, std::size_t count, int step, const float factors[3],
                       const std::uint8_t levels[3]);
};

// The best kernel set for this CPU, or null when there is none or
// acceleration has been switched off. Thread-safe.
const AcceleratedKernels* Accelerated();

// Switches the accelerated kernels off (false) or back on, so that tests can
// run the portable loops on any machine. Not meant for concurrent use with
// running conversions.
void EnableAcceleration(bool enabled);

// Whether an image operation writing `destinationBytes` should bypass the
// caches: only images much larger than a core's cache gain from it.
bool ShouldStream(std::size_t destinationBytes);

// Orders non-temporal stores before the operation returns.
void FinishStreaming();

#if defined(__x86_64__)
// The AVX2 set; call only when the CPU supports AVX2.
const AcceleratedKernels* Avx2Kernels();
#endif

}  // namespace PixelKernels
}  // namespace KVO

#endif  // IMAGING_PIXELKERNELS_H_
