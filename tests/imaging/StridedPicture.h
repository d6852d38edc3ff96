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

// Selects a kernel set (null: the portable loops) for the enclosing scope;
// with `streamAlways` every destination is written with streaming stores.
class KernelSelection {
 public:
  explicit KernelSelection(const PixelKernels::AcceleratedKernels* kernels,
                           bool streamAlways = false) {
    PixelKernels::SelectKernels(kernels);
    if (streamAlways) PixelKernels::SetStreamThreshold(0);
  }
  ~KernelSelection() {
    PixelKernels::SelectBestKernels();
    PixelKernels::SetStreamThreshold(PixelKernels::kDefaultStreamThresholdBytes);
  }
  KernelSelection(const KernelSelection&) = delete;
  KernelSelection& operator=(const KernelSelection&) = delete;
};

// The portable loops (null) followed by every kernel set this CPU runs.
inline std::vector<const PixelKernels::AcceleratedKernels*> AllKernelChoices() {
  std::vector<const PixelKernels::AcceleratedKernels*> choices = {nullptr};
  for (const auto* set : PixelKernels::SupportedKernelSets()) choices.push_back(set);
  return choices;
}

// Every kernel set with its stores cached and streamed (the portable loops
// never stream).
struct KernelChoice {
  const PixelKernels::AcceleratedKernels* kernels;
  bool streamAlways;
};
inline std::vector<KernelChoice> AllKernelAndStoreChoices() {
  std::vector<KernelChoice> choices = {{nullptr, false}};
  for (const auto* set : PixelKernels::SupportedKernelSets()) {
    choices.push_back({set, false});
    choices.push_back({set, true});
  }
  return choices;
}

inline const char* KernelName(const PixelKernels::AcceleratedKernels* kernels) {
  return kernels == nullptr ? "portable" : kernels->name;
}

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_STRIDEDPICTURE_H_
