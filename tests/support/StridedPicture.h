#ifndef TESTS_SUPPORT_STRIDEDPICTURE_H_
#define TESTS_SUPPORT_STRIDEDPICTURE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/PixelKernels.h"
#include "imaging/UserDataImageBuffer.h"

namespace KVO {
namespace testing_support {

// Caller memory of `height` rows at `stride` elements (padding included, one
// element beyond) with a view over it, so tests see stray writes.
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
    for (T& e : memory) e = static_cast<T>((seed = seed * 1664525u + 1013904223u) >> 8);
  }
  T At(int x, int y, int c) const {
    return memory[static_cast<size_t>(y) * stride + x * view.channels + c];
  }

  int stride;
  std::vector<T> memory;
  UserDataGenericBuffer<T> view;
};

// A kernel set (null: the portable loops), optionally streaming every store.
struct KernelChoice {
  const PixelKernels::AcceleratedKernels* kernels;
  bool streamAlways;
  std::string Name() const {
    return std::string(kernels == nullptr ? "portable" : kernels->name) +
           (streamAlways ? "_streamed" : "");
  }
};

// The portable loops, then every kernel set this CPU runs, cached and (with
// `streamed`) streamed too.
inline std::vector<KernelChoice> AllKernelChoices(bool streamed = true) {
  std::vector<KernelChoice> choices = {{nullptr, false}};
  for (const auto* set : PixelKernels::SupportedKernelSets()) {
    choices.push_back({set, false});
    if (streamed) choices.push_back({set, true});
  }
  return choices;
}

// Selects a kernel choice for the enclosing scope.
class KernelSelection {
 public:
  explicit KernelSelection(const KernelChoice& choice) {
    PixelKernels::SelectKernels(choice.kernels);
    if (choice.streamAlways) PixelKernels::SetStreamThreshold(0);
  }
  ~KernelSelection() {
    PixelKernels::SelectBestKernels();
    PixelKernels::SetStreamThreshold(PixelKernels::kDefaultStreamThresholdBytes);
  }
  KernelSelection(const KernelSelection&) = delete;
  KernelSelection& operator=(const KernelSelection&) = delete;
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_SUPPORT_STRIDEDPICTURE_H_
