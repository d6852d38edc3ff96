#ifndef IMAGING_IMAGESIZE_H_
#define IMAGING_IMAGESIZE_H_

#include <cstdint>

namespace KVO {

// The most elements one image may hold: the imaging layer counts elements,
// rows and offsets in int. Every size check of the layer goes through
// CheckedImageElements so that the limit is stated once.
constexpr std::uint64_t kMaxImageElements = 2147483647u;

// Multiplies the three factors in 64-bit arithmetic without overflow.
// Answers true and stores the product in *elements (when elements is not
// null) if it is at most kMaxImageElements; answers false otherwise and
// leaves *elements untouched. Any factor of 0 gives 0 (accepted).
bool CheckedImageElements(std::uint64_t width, std::uint64_t height, std::uint64_t channels,
                          std::uint64_t* elements);

}  // namespace KVO

#endif  // IMAGING_IMAGESIZE_H_
