#ifndef TESTS_IMAGING_JPEGTESTPICTURES_H_
#define TESTS_IMAGING_JPEGTESTPICTURES_H_

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace KVO {
namespace testing_support {

// JPEG output varies with the codec's version, so pictures are made of flat
// bands that survive compression almost unchanged, and compared within a
// tolerance.
constexpr int kJpegTolerance = 12;

// Bottom and top colours (B, G, R; grey uses the first byte).
constexpr unsigned char kBottomColour[3] = {200, 40, 30};
constexpr unsigned char kTopColour[3] = {20, 180, 220};

// A bottom-up picture whose lower half (first rows in memory) has the
// bottom colour and upper half the top colour. Heights that are multiples
// of 32 keep the band edge on block boundaries.
inline std::vector<unsigned char> TwoBands(unsigned width, unsigned height, unsigned channels) {
  std::vector<unsigned char> picture(std::size_t{width} * height * channels);
  for (unsigned row = 0; row < height; ++row) {
    const unsigned char* colour = row < height / 2 ? kBottomColour : kTopColour;
    for (unsigned x = 0; x < width; ++x) {
      for (unsigned c = 0; c < channels; ++c) {
        picture[(std::size_t{row} * width + x) * channels + c] = colour[c];
      }
    }
  }
  return picture;
}

inline int MaxDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
  }
  return worst;
}

// Largest difference over the lower and upper quarters of two pictures of
// TwoBands' shape: chroma upsampling blurs the band edge, the rest is flat.
inline int MaxBandDifference(const std::vector<unsigned char>& a,
                             const std::vector<unsigned char>& b, unsigned width, unsigned height,
                             unsigned channels) {
  if (a.size() != b.size() || a.size() != std::size_t{width} * height * channels) {
    return 256;
  }
  const std::size_t rowBytes = std::size_t{width} * channels;
  int worst = 0;
  for (unsigned row = 0; row < height; ++row) {
    if (row >= height / 4 && row < height - height / 4) continue;
    for (std::size_t i = row * rowBytes; i < (row + 1) * rowBytes; ++i) {
      worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    }
  }
  return worst;
}

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_JPEGTESTPICTURES_H_
