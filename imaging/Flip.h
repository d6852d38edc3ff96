#ifndef IMAGING_FLIP_H_
#define IMAGING_FLIP_H_

#include <boost/optional.hpp>

#include "imaging/UserDataImageBuffer.h"

// Vertical and horizontal flips of KVO::ImageBase images. Like the channel
// conversions they return and report nothing, may throw the allocation
// exception only when re-dimensioning, take a source and a destination that
// do not overlap, and keep no state or lock.
namespace KVO {
namespace ImageConversions {

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

}  // namespace ImageConversions
}  // namespace KVO

#endif  // IMAGING_FLIP_H_
