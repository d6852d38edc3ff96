#ifndef IMAGING_IMAGECONVERSIONS_H_
#define IMAGING_IMAGECONVERSIONS_H_

#include <vector>

#include "imaging/ColourAdjustments.h"
#include "imaging/ConvertColor.h"
#include "imaging/Flip.h"

// The one include for every pixel operation on KVO::ImageBase images:
// channel conversions (ConvertColor.h), flips (Flip.h) and colour
// adjustments with label colouring (ColourAdjustments.h), plus the default
// label colours.
namespace KVO {
namespace ImageConversions {

// Label colours in (blue, green, red): red, green, blue, yellow, magenta,
// cyan, white. Internal linkage: each unit including this header holds its
// own read-only copy, built at load time.
static const std::vector<Drawing::BGR> DefaultColorWheel = {
    {50, 50, 255},  {50, 255, 50},  {255, 50, 50},  {50, 255, 255},
    {255, 50, 255}, {255, 255, 50}, {255, 255, 255}};

}  // namespace ImageConversions
}  // namespace KVO

#endif  // IMAGING_IMAGECONVERSIONS_H_
