#ifndef IMAGING_COLOURADJUSTMENTS_H_
#define IMAGING_COLOURADJUSTMENTS_H_

#include <vector>

#include "imaging/UserDataImageBuffer.h"

// White balance, contrast maximisation and label colouring of 8-bit images
// (defined in ImageConversions.cpp; the default label colours are in
// ImageConversions.h). Channel 0 is blue, 1 green, 2 red. The operations
// return and report nothing and keep no state or lock; nobody may change an
// image during a call.
namespace KVO {

namespace Drawing {

// One colour: three bytes, blue at the lowest address.
struct BGR {
  unsigned char blue;
  unsigned char green;
  unsigned char red;
};

}  // namespace Drawing

namespace ImageConversions {

// Colour operations on 8-bit images, treated as packed (pixel i at
// begin + i * step, the step being 4 for 4 channels and 3 otherwise for the
// white balance, the channel count for the maximisations). They allocate
// nothing and leave images of fewer than 3 channels unchanged; a fourth
// channel is never touched. `image` must not be null.

// Stretches each colour channel so that its level maps to 255: value v
// becomes 255 when v >= level, else trunc(v * (255.0f / level)) in single
// precision. A level of 0 maps everything to 255, 255 changes nothing.
void SetWhiteBalance(ImageBase<unsigned char>* image, unsigned char redLevel,
                     unsigned char greenLevel, unsigned char blueLevel);

// Per channel, the highest level L at which more than
// trunc((pixels / 2) * fraction) pixels have a value of at least L, then
// SetWhiteBalance. A channel for which no level qualifies (no pixels, a
// fraction of 2 or more) keeps level 255, i.e. is unchanged.
void AutoWhiteBalance(ImageBase<unsigned char>* image, float fraction);

// Stretches every pixel's three colour channels to 0..255: largest to 255,
// smallest to 0, the middle one proportionally; equal channels become 255.
void MaximizeSaturationAndValue(ImageBase<unsigned char>* image);

// Scales each pixel's three colour channels by 255 / (their largest);
// black pixels stay black.
void MaximizeValue(ImageBase<unsigned char>* image);

// Clears `destination` (honouring its stride), then paints pixel i with a
// non-zero id in colours[id % colours.size()] at destination bytes 3i..3i+2
// (packed 3 bytes per pixel). Writes nothing at all when `colours` is empty
// or the destination's storage cannot hold ids width x height packed
// 3-byte pixels.
void Convert4BppIdsTo3BppColors(const ImageBase<unsigned int>& ids,
                                ImageBase<unsigned char>& destination,
                                const std::vector<Drawing::BGR>& colours);

}  // namespace ImageConversions
}  // namespace KVO

#endif  // IMAGING_COLOURADJUSTMENTS_H_
