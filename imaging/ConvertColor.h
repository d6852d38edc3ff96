#ifndef IMAGING_CONVERTCOLOR_H_
#define IMAGING_CONVERTCOLOR_H_

#include <vector>

#include "imaging/UserDataImageBuffer.h"

// Channel-count and channel-order conversions of KVO::ImageBase images
// (channel 0 blue, 1 green, 2 red, 3 the fourth). They return and report
// nothing; re-dimensioning a destination may throw the allocation
// exception. Source and destination are different images that do not
// overlap. Stateless and lock-free: calls on different images may run
// concurrently; nobody may change an image during a call.
namespace KVO {
namespace ImageConversions {

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

}  // namespace ImageConversions
}  // namespace KVO

#endif  // IMAGING_CONVERTCOLOR_H_
