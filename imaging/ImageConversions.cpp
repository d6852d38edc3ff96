#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/ColourAdjustments.h"
#include "imaging/PixelKernels.h"

namespace KVO {
namespace ImageConversions {

namespace {

using std::ptrdiff_t;
using std::size_t;

using LevelTable = std::array<unsigned char, 256>;

// The single-precision factor 255 / level; unused for level 0, whose table
// is all 255 and is never computed through it.
float FactorFor(unsigned char level) {
  return level == 0 ? 0.0f : 255.0f / static_cast<float>(level);
}

LevelTable MakeLevelTable(unsigned char level) {
  const float factor = FactorFor(level);
  LevelTable table;
  for (int v = 0; v < 256; ++v) {
    table[v] = v >= level
                   ? 255
                   : static_cast<unsigned char>(static_cast<int>(static_cast<float>(v) * factor));
  }
  return table;
}

// Pixel step of the white-balance operations: 4 for four channels, else 3.
int BalanceStep(const ImageBase<unsigned char>& image) { return image.channels == 4 ? 4 : 3; }

bool HasColourPixels(const ImageBase<unsigned char>* image) {
  return image != nullptr && image->channels >= 3 && image->begin != nullptr && image->width > 0 &&
         image->height > 0;
}

size_t PixelCount(const ImageBase<unsigned char>& image) {
  return static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
}

// Calls `adjust` with the first byte of each of the width x height pixels,
// stepping by the channel count; skips images without colour pixels.
template <typename Adjust>
void ForEachPixel(ImageBase<unsigned char>* image, Adjust adjust) {
  if (!HasColourPixels(image)) return;
  const size_t count = PixelCount(*image);
  const ptrdiff_t step = image->channels;
  unsigned char* p = image->begin;
  for (size_t i = 0; i < count; ++i, p += step) adjust(p);
}

// The histogram threshold trunc((pixels / 2) * fraction), clamped to the
// 32-bit range first so that no fraction gives an undefined conversion. A
// NaN fraction selects no level at all.
std::int64_t Threshold(std::int32_t pixels, float fraction) {
  const float product = static_cast<float>(pixels / 2) * fraction;
  if (std::isnan(product)) return INT_MAX;
  if (product >= 2147483647.0f) return INT_MAX;
  if (product <= -2147483648.0f) return INT_MIN;
  return static_cast<std::int32_t>(product);
}

// Highest level L at which more than `threshold` pixels are at least L;
// 255 (no change) when no level qualifies, which the search detects at 0
// instead of wrapping around.
unsigned char LevelFromHistogram(const std::array<std::uint32_t, 256>& counts,
                                 std::int64_t threshold) {
  int level = 255;
  std::int64_t atLeast = counts[255];
  while (threshold >= atLeast) {
    if (level == 0) return 255;
    --level;
    atLeast += counts[level];
  }
  return static_cast<unsigned char>(level);
}

}  // namespace

void SetWhiteBalance(ImageBase<unsigned char>* image, unsigned char redLevel,
                     unsigned char greenLevel, unsigned char blueLevel) {
  if (!HasColourPixels(image)) return;
  const int step = BalanceStep(*image);
  const size_t count = PixelCount(*image);
  if (const PixelKernels::AcceleratedKernels* kernels = PixelKernels::Accelerated()) {
    const float factors[3] = {FactorFor(blueLevel), FactorFor(greenLevel), FactorFor(redLevel)};
    const std::uint8_t levels[3] = {blueLevel, greenLevel, redLevel};
    kernels->whiteBalance(image->begin, count, step, factors, levels);
    return;
  }
  const LevelTable blue = MakeLevelTable(blueLevel);
  const LevelTable green = MakeLevelTable(greenLevel);
  const LevelTable red = MakeLevelTable(redLevel);
  unsigned char* p = image->begin;
  for (size_t i = 0; i < count; ++i, p += step) {
    p[0] = blue[p[0]];
    p[1] = green[p[1]];
    p[2] = red[p[2]];
  }
}

void AutoWhiteBalance(ImageBase<unsigned char>* image, float fraction) {
  if (image == nullptr || image->channels < 3) return;
  std::array<std::array<std::uint32_t, 256>, 3> counts{};
  size_t pixels = 0;
  if (HasColourPixels(image)) {
    pixels = PixelCount(*image);
    const int step = BalanceStep(*image);
    const unsigned char* p = image->begin;
    for (size_t i = 0; i < pixels; ++i, p += step) {
      ++counts[0][p[0]];
      ++counts[1][p[1]];
      ++counts[2][p[2]];
    }
  }
  const std::int64_t threshold = Threshold(static_cast<std::int32_t>(pixels), fraction);
  const unsigned char blue = LevelFromHistogram(counts[0], threshold);
  const unsigned char green = LevelFromHistogram(counts[1], threshold);
  const unsigned char red = LevelFromHistogram(counts[2], threshold);
  SetWhiteBalance(image, red, green, blue);
}

void MaximizeSaturationAndValue(ImageBase<unsigned char>* image) {
  ForEachPixel(image, [](unsigned char* p) {
    const int low = std::min({p[0], p[1], p[2]});
    const int high = std::max({p[0], p[1], p[2]});
    // Equal channels (greys) have no hue to keep and become white; otherwise
    // the spread is stretched to the full range, which also sends two equal
    // channels to 255 or 0 together.
    if (high == low) {
      p[0] = p[1] = p[2] = 255;
      return;
    }
    const int range = high - low;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<unsigned char>((p[c] - low) * 255 / range);
  });
}

void MaximizeValue(ImageBase<unsigned char>* image) {
  ForEachPixel(image, [](unsigned char* p) {
    const int high = std::max({p[0], p[1], p[2]});
    if (high == 0) return;
    for (int c = 0; c < 3; ++c) p[c] = static_cast<unsigned char>(p[c] * 255 / high);
  });
}

void Convert4BppIdsTo3BppColors(const ImageBase<unsigned int>& ids,
                                ImageBase<unsigned char>& destination,
                                const std::vector<Drawing::BGR>& colours) {
  if (colours.empty() || destination.begin == nullptr) return;
  const ptrdiff_t pixels =
      ids.width > 0 && ids.height > 0 ? static_cast<ptrdiff_t>(ids.width) * ids.height : 0;
  if (pixels > 0 && ids.begin == nullptr) return;
  if (destination.end - destination.begin < 3 * pixels) return;

  const ptrdiff_t rowBytes = static_cast<ptrdiff_t>(destination.width) * destination.channels;
  if (rowBytes == destination.stride) {
    std::memset(destination.begin, 0, static_cast<size_t>(destination.end - destination.begin));
  } else if (rowBytes > 0) {
    for (ptrdiff_t y = 0; y < destination.height; ++y) {
      std::memset(destination.begin + y * destination.stride, 0, static_cast<size_t>(rowBytes));
    }
  }

  const std::uint64_t k = colours.size();
  unsigned char* out = destination.begin;
  for (ptrdiff_t i = 0; i < pixels; ++i, out += 3) {
    const unsigned int id = ids.begin[i];
    if (id == 0) continue;
    const Drawing::BGR& colour = colours[static_cast<size_t>(std::uint64_t{id} % k)];
    out[0] = colour.blue;
    out[1] = colour.green;
    out[2] = colour.red;
  }
}

}  // namespace ImageConversions
}  // namespace KVO
