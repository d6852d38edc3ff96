#include "imaging/Flip.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "imaging/PixelKernels.h"

namespace KVO {
namespace ImageConversions {

namespace {

using std::ptrdiff_t;
using std::size_t;

void CopyRow(const void* source, void* destination, size_t bytes, bool stream) {
  const PixelKernels::AcceleratedKernels* kernels = PixelKernels::Accelerated();
  if (kernels != nullptr) {
    kernels->copy(static_cast<const std::uint8_t*>(source), static_cast<std::uint8_t*>(destination),
                  bytes, stream);
  } else {
    std::memcpy(destination, source, bytes);
  }
}

// Exchanges `bytes` bytes at `a` and `b` (not overlapping) a register-sized
// block at a time; the fixed-size copies compile to plain vector moves.
void SwapRows(unsigned char* a, unsigned char* b, size_t bytes) {
  constexpr size_t kBlockBytes = 64;
  unsigned char held[kBlockBytes];
  size_t i = 0;
  for (; i + kBlockBytes <= bytes; i += kBlockBytes) {
    std::memcpy(held, a + i, kBlockBytes);
    std::memcpy(a + i, b + i, kBlockBytes);
    std::memcpy(b + i, held, kBlockBytes);
  }
  const size_t rest = bytes - i;
  std::memcpy(held, a + i, rest);
  std::memcpy(a + i, b + i, rest);
  std::memcpy(b + i, held, rest);
}

}  // namespace

template <typename T>
void FlipVertically(const ImageBase<T>& source, ImageBase<T>& destination) {
  EnsureForm(destination, source.width, source.height, source.channels);
  const ptrdiff_t rowElements = static_cast<ptrdiff_t>(source.width) * source.channels;
  if (source.height < 1 || rowElements <= 0) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  const size_t rowBytes = static_cast<size_t>(rowElements) * sizeof(T);
  const bool stream = PixelKernels::ShouldStream(2 * rowBytes * static_cast<size_t>(source.height));
  const ptrdiff_t last = source.height - 1;
  // Source rows in ascending order: the hardware prefetchers follow a
  // forward stream across rows, while a backward walk stalls on every row.
  // The destination side is written either way, so it takes the descent.
  for (ptrdiff_t y = 0; y <= last; ++y) {
    T* out = destination.begin + (last - y) * destination.stride;
    if (!stream && y < last) PixelKernels::PrefetchRow<1>(out - destination.stride, rowBytes);
    CopyRow(source.begin + y * source.stride, out, rowBytes, stream);
  }
  if (stream) PixelKernels::FinishStreaming();
}

template <typename T>
void FlipHorizontally(const ImageBase<T>& source, ImageBase<T>& destination) {
  EnsureForm(destination, source.width, source.height, source.channels);
  const ptrdiff_t width = source.width;
  const ptrdiff_t channels = source.channels;
  if (source.height < 1 || width < 1 || channels < 1) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  const size_t pixelBytes = static_cast<size_t>(channels) * sizeof(T);
  const PixelKernels::AcceleratedKernels* kernels = PixelKernels::Accelerated();
  if (kernels != nullptr && (pixelBytes <= 4 || pixelBytes == 8)) {
    const size_t rowBytes = static_cast<size_t>(width) * pixelBytes;
    // Rows are read from their end, so the next one is requested ahead.
    for (ptrdiff_t y = 0; y < source.height; ++y) {
      if (y + 1 < source.height)
        PixelKernels::PrefetchRow<0>(source.begin + (y + 1) * source.stride, rowBytes);
      kernels->mirror(reinterpret_cast<const std::uint8_t*>(source.begin + y * source.stride),
                      reinterpret_cast<std::uint8_t*>(destination.begin + y * destination.stride),
                      static_cast<size_t>(width), pixelBytes);
    }
    return;
  }
  for (ptrdiff_t y = 0; y < source.height; ++y) {
    const T* in = source.begin + y * source.stride;
    T* out = destination.begin + y * destination.stride;
    if (channels == 1) {
      for (ptrdiff_t x = 0; x < width; ++x) out[x] = in[width - 1 - x];
      continue;
    }
    // Whole pixels move; the channel order inside each pixel is kept.
    for (ptrdiff_t x = 0; x < width; ++x) {
      const T* pixel = in + (width - 1 - x) * channels;
      for (ptrdiff_t c = 0; c < channels; ++c) out[x * channels + c] = pixel[c];
    }
  }
}

void FlipVertically(const unsigned char* source, unsigned char* destination, int width, int height,
                    int channels) {
  UserDataGenericBuffer<unsigned char> sourceView(width, height, channels,
                                                  const_cast<unsigned char*>(source));
  UserDataGenericBuffer<unsigned char> destinationView(width, height, channels, destination);
  FlipVertically<unsigned char>(sourceView, destinationView);
}

void FlipVerticallyInPlace(ImageBase<unsigned char>& image, boost::optional<unsigned char*>) {
  const ptrdiff_t rowBytes = static_cast<ptrdiff_t>(image.width) * image.channels;
  if (image.height < 2 || rowBytes <= 0 || image.begin == nullptr) return;
  const size_t bytes = static_cast<size_t>(rowBytes);
  const PixelKernels::AcceleratedKernels* kernels = PixelKernels::Accelerated();
  const ptrdiff_t last = image.height - 1;
  // Each pair of rows is exchanged through registers, so every byte is read
  // and written once and no row buffer is needed. Software prefetches of
  // the descending rows measured slower here than none.
  for (ptrdiff_t i = 0; i < image.height / 2; ++i) {
    unsigned char* top = image.begin + i * image.stride;
    unsigned char* bottom = image.begin + (last - i) * image.stride;
    if (kernels != nullptr) {
      kernels->swap(top, bottom, bytes);
    } else {
      SwapRows(top, bottom, bytes);
    }
  }
}

#define KVO_DEFINE_FLIPS(T)                                                   \
  template void FlipVertically<T>(const ImageBase<T>& source, ImageBase<T>&); \
  template void FlipHorizontally<T>(const ImageBase<T>& source, ImageBase<T>&);
KVO_DEFINE_FLIPS(signed char)
KVO_DEFINE_FLIPS(unsigned char)
KVO_DEFINE_FLIPS(short)
KVO_DEFINE_FLIPS(unsigned short)
KVO_DEFINE_FLIPS(int)
KVO_DEFINE_FLIPS(unsigned int)
KVO_DEFINE_FLIPS(long)
KVO_DEFINE_FLIPS(unsigned long)
#undef KVO_DEFINE_FLIPS

}  // namespace ImageConversions
}  // namespace KVO
