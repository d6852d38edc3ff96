#ifndef IMAGING_IMAGECONVERSIONS_H_
#define IMAGING_IMAGECONVERSIONS_H_

#include <boost/optional.hpp>
#include <vector>

#include "imaging/UserDataImageBuffer.h"

// Pixel operations on KVO::ImageBase images.
//
// Conventions for everything in this header: channel 0 is blue, 1 green,
// 2 red, 3 the fourth channel; element c of pixel (x, y) is
// begin[y * stride + x * channels + c]. Operations return nothing and report
// nothing; those producing an image of another form re-dimension their
// destination with Resize() (which may throw the allocation exception).
// Source and destination must be different images in non-overlapping
// memory. No operation keeps state or locks: calls on different images may
// run concurrently, and a caller must not change an image during a call.
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

// Label colours in (blue, green, red): red, green, blue, yellow, magenta,
// cyan, white. Internal linkage: each unit including this header holds its
// own read-only copy, built at load time.
static const std::vector<Drawing::BGR> DefaultColorWheel = {
    {50, 50, 255},  {50, 255, 50},  {255, 50, 50},  {50, 255, 255},
    {255, 50, 255}, {255, 255, 50}, {255, 255, 255}};

// Channel conversions between 1 (grey), 3 and 4 channels, for
// T = unsigned char and unsigned short. Static operations only.
//
// Geometry (width, height) always comes from the source. The per-pair
// converters neither read nor change the destination's size: the caller
// gives a destination holding source width x height pixels of the named
// channel count; with either image lacking storage they write nothing.
// "Packed" operations ignore strides and take pixel i at
// begin + i * channels; "row" operations honour both strides.
// Operations that re-dimension do so when the destination's width, height
// or channels differ, and also when it matches but has no storage.
//
// Grey is (s0 + s1 + s2) / 3 rounded down; Using2R is
// (s0 + s1 + 2 * s2) >> 2. Both sum in 32 bits.
template <typename T>
class CvtColor {
 public:
  // By (source channels S, destination channels D): D == S deep-copies
  // (re-dimensioning the destination when needed); 1->3, 1->4, 3->1, 4->1
  // are packed; 3->4 and 4->3 are row conversions. Every other pair leaves
  // the destination untouched.
  static void ConvertColor(const ImageBase<T>& source, ImageBase<T>& destination);
  // flip false: as above. flip true: destination row y receives source row
  // height - 1 - y; D == S flips vertically (re-dimensioning when needed);
  // the other supported pairs use the AndFlip row converters; the rest are
  // left untouched.
  static void ConvertColor(const ImageBase<T>& source, ImageBase<T>& destination, bool flip);
  // Caller buffers, both packed and not overlapping: `source` holds
  // width * height * sourceChannels elements, `destination` width * height *
  // destinationChannels. With flip the first source row becomes the last
  // destination row. Unsupported pairs leave `destination` untouched. The
  // caller keeps ownership of both buffers.
  static void ConvertColor(const T* source, T* destination, int width, int height,
                           int sourceChannels, int destinationChannels, bool flip);

  // Packed converters.
  static void ConvertColor4BppTo1Bpp(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor3BppTo1Bpp(const ImageBase<T>& source, ImageBase<T>& destination);
  // d0 = d1 = d2 = s0.
  static void ConvertColor1BppTo3Bpp(const ImageBase<T>& source, ImageBase<T>& destination);
  // d0 = d1 = d2 = s0, d3 = 0.
  static void ConvertColor1BppTo4Bpp(const ImageBase<T>& source, ImageBase<T>& destination);

  // Row converters, honouring both strides.
  // Drops the fourth channel.
  static void ConvertColor4BppTo3Bpp(const ImageBase<T>& source, ImageBase<T>& destination);
  // Writes 0 into the fourth channel.
  static void ConvertColor3BppTo4Bpp(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor3BppTo1BppUsing2R(const ImageBase<T>& source, ImageBase<T>& destination);

  // Row converters that also mirror the rows top to bottom.
  static void ConvertColor4BppTo3BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor4BppTo1BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor3BppTo4BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor3BppTo1BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor1BppTo3BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);
  static void ConvertColor1BppTo4BppAndFlip(const ImageBase<T>& source, ImageBase<T>& destination);

  // Packed, each side stepping by its own channel count: d0 = s2, d1 = s1,
  // d2 = s0; further destination elements are untouched. Does nothing
  // unless both sides have at least 3 channels.
  static void ConvertRgbToBgr(const ImageBase<T>& source, ImageBase<T>& destination);
  // Exchanges elements 0 and 2 of every pixel (packed); does nothing for
  // fewer than 3 channels.
  static void ConvertRgbToBgrInPlace(ImageBase<T>& image);

  // 1-channel source: deep copy. 3 or more channels: the destination becomes
  // a 1-channel grey image of the source's size (a matching destination keeps
  // its stride). Other channel counts: nothing.
  static void ConvertToGrey(const ImageBase<T>& source, ImageBase<T>& destination);
  // Plane k receives channel k of every pixel. Every plane that is not
  // already source width x height x 1 is re-dimensioned to it. Does nothing
  // at all when there are fewer planes than source channels or a plane is
  // null.
  static void SplitChannels(const ImageBase<T>& source, std::vector<ImageBase<T>*>& planes);
};

extern template class CvtColor<unsigned char>;
extern template class CvtColor<unsigned short>;

// Destination row y = source row height - 1 - y. The destination is
// re-dimensioned (packed) only when its width, height or channels differ or
// it has no storage; otherwise it keeps its stride and memory. For the
// eight integer types.
template <typename T>
void FlipVertically(const ImageBase<T>& source, ImageBase<T>& destination);

// Mirrors each row left to right, moving whole pixels and keeping the
// channel order inside each pixel. Re-dimensions like FlipVertically.
template <typename T>
void FlipHorizontally(const ImageBase<T>& source, ImageBase<T>& destination);

// Vertical flip between two packed caller buffers of width * height *
// channels bytes that do not overlap: the destination's first row is the
// source's last. The caller keeps ownership of both.
void FlipVertically(const unsigned char* source, unsigned char* destination, int width, int height,
                    int channels);

// Vertical flip of one image at its own stride; an image without storage
// is left alone. Rows are exchanged through registers, so `scratch` (a row
// buffer some callers offer) is not used and nothing is allocated.
void FlipVerticallyInPlace(ImageBase<unsigned char>& image,
                           boost::optional<unsigned char*> scratch);

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

#endif  // IMAGING_IMAGECONVERSIONS_H_
