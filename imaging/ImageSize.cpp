#include "imaging/ImageSize.h"

namespace KVO {

bool CheckedImageElements(std::uint64_t width, std::uint64_t height, std::uint64_t channels,
                          std::uint64_t* elements) {
  std::uint64_t product = 0;
  if (width != 0 && height != 0 && channels != 0) {
    // Each partial product is kept at or below the limit (< 2^31) before the
    // next multiplication, and every factor a caller can pass from a 32-bit
    // header field is below 2^32, so nothing here can wrap.
    if (width > kMaxImageElements || height > kMaxImageElements || channels > kMaxImageElements) {
      return false;
    }
    product = width * height;
    if (product > kMaxImageElements) return false;
    product *= channels;
    if (product > kMaxImageElements) return false;
  }
  if (elements != nullptr) *elements = product;
  return true;
}

}  // namespace KVO
