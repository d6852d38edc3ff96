#ifndef TESTS_IMAGING_STRIDEDPICTURE_H_
#define TESTS_IMAGING_STRIDEDPICTURE_H_

#include <cstdint>
#include <vector>

#include "imaging/PixelKernels.h"
#include "imaging/UserDataImageBuffer.h"

namespace KVO {
namespace testing_support {

// Caller memory of `height` rows at `stride` elements (padding included)
// with a view over it, so tests can check that padding and memory beyond
// the image stay untouched.
template <typename T>
struct StridedPicture {
  StridedPicture(int width, int height, int channels, int extraPerRow, T fill)
      : stride(width * channels + extraPerRow),
        memory(static_cast<size_t>(stride) * height + 1, fill),
        view(0, 0, 0, false) {
    view.Reset(width, height, channels, memory.data(), stride);
  }

  // Deterministic pseudo-random content over the whole memory, padding too.
  void Scramble(std::uint32_t seed) {
    for (T& element : memory) {
      seed = seed * 1664525u + 1013904223u;
      element = static_cast<T>(seed >> 8);
    }
  }

  int stride;
  std::vector<T> memory;
  UserDataGenericBuffer<T> view;
};

// Runs the enclosing test body with the accelerated kernels on, then off.
class AccelerationSwitch {
 public:
  explicit AccelerationSwitch(bool enabled) { PixelKernels::EnableAcceleration(enabled); }
  ~AccelerationSwitch() { PixelKernels::EnableAcceleration(true); }
  AccelerationSwitch(const AccelerationSwitch&) = delete;
  AccelerationSwitch& operator=(const AccelerationSwitch&) = delete;
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_STRIDEDPICTURE_H_
