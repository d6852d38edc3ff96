#include "imaging/ConvertColor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "imaging/Flip.h"
#include "imaging/PixelKernels.h"

namespace KVO {
namespace ImageConversions {

namespace {

constexpr std::array<unsigned char, 768> MakeDivideBy3() {
  std::array<unsigned char, 768> table{};
  for (int i = 0; i < 768; ++i) table[i] = static_cast<unsigned char>(i / 3);
  return table;
}

}  // namespace

// Entry i is i / 3 rounded down: the average of three 8-bit values from
// their sum, without a division per pixel.
static constexpr std::array<unsigned char, 768> LUT_DivideBy3 = MakeDivideBy3();

namespace {

using std::ptrdiff_t;
using std::size_t;

// Grey of one pixel. Bytes go through the table; 16-bit values divide,
// their 32-bit sum cannot overflow.
inline unsigned char Grey(unsigned char a, unsigned char b, unsigned char c) {
  return LUT_DivideBy3[a + b + c];
}
inline unsigned short Grey(unsigned short a, unsigned short b, unsigned short c) {
  return static_cast<unsigned short>((std::uint32_t{a} + b + c) / 3);
}

template <typename T>
T Using2R(T b, T g, T r) {
  return static_cast<T>((std::uint32_t{b} + g + 2 * std::uint32_t{r}) >> 2);
}

// Portable row loops, the reference for every accelerated kernel. Plain
// indexed loops over non-aliasing rows with constant steps, so that the
// compiler vectorises them (all but the 8-bit grey, a table lookup).
template <typename T>
void Expand1To3Row(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[3 * i] = d[3 * i + 1] = d[3 * i + 2] = s[i];
}
template <typename T>
void Expand1To4Row(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[4 * i] = d[4 * i + 1] = d[4 * i + 2] = s[i];
    d[4 * i + 3] = 0;
  }
}
template <typename T>
void Drop4To3Row(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[3 * i] = s[4 * i];
    d[3 * i + 1] = s[4 * i + 1];
    d[3 * i + 2] = s[4 * i + 2];
  }
}
template <typename T>
void Pad3To4Row(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d[4 * i] = s[3 * i];
    d[4 * i + 1] = s[3 * i + 1];
    d[4 * i + 2] = s[3 * i + 2];
    d[4 * i + 3] = 0;
  }
}
template <size_t Step, typename T>
void GreyRow(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = Grey(s[Step * i], s[Step * i + 1], s[Step * i + 2]);
}
// Sources of more than four channels, which only ConvertToGrey accepts.
template <typename T>
void GreyRowAnyStep(const T* s, T* d, size_t n, size_t step) {
  for (size_t i = 0; i < n; ++i) d[i] = Grey(s[step * i], s[step * i + 1], s[step * i + 2]);
}
template <typename T>
void Using2RRow(const T* __restrict s, T* __restrict d, size_t n) {
  for (size_t i = 0; i < n; ++i) d[i] = Using2R(s[3 * i], s[3 * i + 1], s[3 * i + 2]);
}

enum class Pair { k1To3, k1To4, k4To3, k3To4, k3To1, k4To1 };

using Kernel = void (*)(const std::uint8_t*, std::uint8_t*, size_t, bool);

Kernel AcceleratedKernelFor(Pair pair) {
  const PixelKernels::AcceleratedKernels* k = PixelKernels::Accelerated();
  if (k == nullptr) return nullptr;
  switch (pair) {
    case Pair::k1To3:
      return k->expand1To3;
    case Pair::k1To4:
      return k->expand1To4;
    case Pair::k4To3:
      return k->drop4To3;
    case Pair::k3To4:
      return k->pad3To4;
    case Pair::k3To1:
      return k->grey3To1;
    case Pair::k4To1:
      return k->grey4To1;
  }
  return nullptr;
}

constexpr int SourceChannels(Pair pair) {
  return pair == Pair::k1To3 || pair == Pair::k1To4   ? 1
         : pair == Pair::k4To3 || pair == Pair::k4To1 ? 4
                                                      : 3;
}
constexpr int DestinationChannels(Pair pair) {
  return pair == Pair::k1To3 || pair == Pair::k4To3   ? 3
         : pair == Pair::k1To4 || pair == Pair::k3To4 ? 4
                                                      : 1;
}

// One run of `n` pixels, both sides packed within the run.
template <typename T>
void ConvertRun(Pair pair, const T* s, T* d, size_t n, bool stream) {
  if constexpr (std::is_same_v<T, unsigned char>) {
    if (Kernel kernel = AcceleratedKernelFor(pair)) {
      kernel(s, d, n, stream);
      return;
    }
  }
  switch (pair) {
    case Pair::k1To3:
      Expand1To3Row(s, d, n);
      break;
    case Pair::k1To4:
      Expand1To4Row(s, d, n);
      break;
    case Pair::k4To3:
      Drop4To3Row(s, d, n);
      break;
    case Pair::k3To4:
      Pad3To4Row(s, d, n);
      break;
    case Pair::k3To1:
      GreyRow<3>(s, d, n);
      break;
    case Pair::k4To1:
      GreyRow<4>(s, d, n);
      break;
  }
}

// Streams when the bytes read and written together outgrow the cache.
bool StreamFor(Pair pair, size_t pixels, size_t elementBytes) {
  const size_t elements = pixels * (SourceChannels(pair) + DestinationChannels(pair));
  return PixelKernels::ShouldStream(elements * elementBytes);
}

// Packed addressing: pixel i at begin + i * channels on both sides,
// whatever the strides.
template <typename T>
void ConvertPacked(Pair pair, const ImageBase<T>& source, ImageBase<T>& destination) {
  if (source.width < 1 || source.height < 1) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  const size_t n = static_cast<size_t>(source.width) * static_cast<size_t>(source.height);
  const bool stream = StreamFor(pair, n, sizeof(T));
  ConvertRun(pair, source.begin, destination.begin, n, stream);
  if (stream) PixelKernels::FinishStreaming();
}

// Row addressing with both strides; with `flip` source row y lands on
// destination row height - 1 - y. Unflipped packed pairs run as one row.
template <typename T>
void ConvertRows(Pair pair, const ImageBase<T>& source, ImageBase<T>& destination, bool flip) {
  const int width = source.width;
  const int height = source.height;
  if (width < 1 || height < 1) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  const ptrdiff_t sourceRow = static_cast<ptrdiff_t>(width) * SourceChannels(pair);
  const ptrdiff_t destinationRow = static_cast<ptrdiff_t>(width) * DestinationChannels(pair);
  const bool stream = StreamFor(pair, static_cast<size_t>(width) * height, sizeof(T));
  if (!flip && source.stride == sourceRow && destination.stride == destinationRow) {
    ConvertRun(pair, source.begin, destination.begin, static_cast<size_t>(width) * height, stream);
  } else {
    const size_t rowBytes = static_cast<size_t>(destinationRow) * sizeof(T);
    for (ptrdiff_t y = 0; y < height; ++y) {
      const ptrdiff_t r = flip ? height - 1 - y : y;
      T* out = destination.begin + r * destination.stride;
      if (flip && !stream && r > 0)
        PixelKernels::PrefetchRow<1>(out - destination.stride, rowBytes);
      ConvertRun(pair, source.begin + y * source.stride, out, static_cast<size_t>(width), stream);
    }
  }
  if (stream) PixelKernels::FinishStreaming();
}

}  // namespace

template <typename T>
void CvtColor<T>::ConvertColor(const ImageBase<T>& source, ImageBase<T>& destination) {
  const int s = source.channels;
  const int d = destination.channels;
  if (s == d) {
    destination.DeepCopy(source);
  } else if (s == 1 && d == 3) {
    ConvertColor1BppTo3Bpp(source, destination);
  } else if (s == 1 && d == 4) {
    ConvertColor1BppTo4Bpp(source, destination);
  } else if (s == 3 && d == 1) {
    ConvertColor3BppTo1Bpp(source, destination);
  } else if (s == 3 && d == 4) {
    ConvertColor3BppTo4Bpp(source, destination);
  } else if (s == 4 && d == 1) {
    ConvertColor4BppTo1Bpp(source, destination);
  } else if (s == 4 && d == 3) {
    ConvertColor4BppTo3Bpp(source, destination);
  }
  // Any other pair is unsupported and leaves the destination untouched; in
  // particular 1- and 3-channel sources are never written four channels per
  // pixel into a destination laid out for fewer.
}

template <typename T>
void CvtColor<T>::ConvertColor(const ImageBase<T>& source, ImageBase<T>& destination, bool flip) {
  if (!flip) {
    ConvertColor(source, destination);
    return;
  }
  const int s = source.channels;
  const int d = destination.channels;
  if (s == d) {
    FlipVertically(source, destination);
  } else if (s == 1 && d == 3) {
    ConvertColor1BppTo3BppAndFlip(source, destination);
  } else if (s == 1 && d == 4) {
    ConvertColor1BppTo4BppAndFlip(source, destination);
  } else if (s == 3 && d == 1) {
    ConvertColor3BppTo1BppAndFlip(source, destination);
  } else if (s == 3 && d == 4) {
    ConvertColor3BppTo4BppAndFlip(source, destination);
  } else if (s == 4 && d == 1) {
    ConvertColor4BppTo1BppAndFlip(source, destination);
  } else if (s == 4 && d == 3) {
    ConvertColor4BppTo3BppAndFlip(source, destination);
  }
}

template <typename T>
void CvtColor<T>::ConvertColor(const T* source, T* destination, int width, int height,
                               int sourceChannels, int destinationChannels, bool flip) {
  // Views over the caller's memory: equal dimensions mean the equal-channel
  // paths write straight into it, and nothing is ever released.
  UserDataGenericBuffer<T> sourceView(width, height, sourceChannels, const_cast<T*>(source));
  UserDataGenericBuffer<T> destinationView(width, height, destinationChannels, destination);
  ConvertColor(sourceView, destinationView, flip);
}

template <typename T>
void CvtColor<T>::ConvertColor4BppTo1Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertPacked(Pair::k4To1, source, destination);
}
template <typename T>
void CvtColor<T>::ConvertColor3BppTo1Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertPacked(Pair::k3To1, source, destination);
}
template <typename T>
void CvtColor<T>::ConvertColor1BppTo3Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertPacked(Pair::k1To3, source, destination);
}
template <typename T>
void CvtColor<T>::ConvertColor1BppTo4Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertPacked(Pair::k1To4, source, destination);
}
template <typename T>
void CvtColor<T>::ConvertColor4BppTo3Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertRows(Pair::k4To3, source, destination, false);
}
template <typename T>
void CvtColor<T>::ConvertColor3BppTo4Bpp(const ImageBase<T>& source, ImageBase<T>& destination) {
  ConvertRows(Pair::k3To4, source, destination, false);
}
template <typename T>
void CvtColor<T>::ConvertColor4BppTo3BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k4To3, source, destination, true);
}
template <typename T>
void CvtColor<T>::ConvertColor4BppTo1BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k4To1, source, destination, true);
}
template <typename T>
void CvtColor<T>::ConvertColor3BppTo4BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k3To4, source, destination, true);
}
template <typename T>
void CvtColor<T>::ConvertColor3BppTo1BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k3To1, source, destination, true);
}
template <typename T>
void CvtColor<T>::ConvertColor1BppTo3BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k1To3, source, destination, true);
}
template <typename T>
void CvtColor<T>::ConvertColor1BppTo4BppAndFlip(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  ConvertRows(Pair::k1To4, source, destination, true);
}

template <typename T>
void CvtColor<T>::ConvertColor3BppTo1BppUsing2R(const ImageBase<T>& source,
                                                ImageBase<T>& destination) {
  if (source.width < 1 || source.height < 1) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  for (ptrdiff_t y = 0; y < source.height; ++y) {
    Using2RRow(source.begin + y * source.stride, destination.begin + y * destination.stride,
               static_cast<size_t>(source.width));
  }
}

template <typename T>
void CvtColor<T>::ConvertRgbToBgr(const ImageBase<T>& source, ImageBase<T>& destination) {
  if (source.channels < 3 || destination.channels < 3) return;
  if (source.begin == nullptr || destination.begin == nullptr) return;
  const ptrdiff_t n = static_cast<ptrdiff_t>(source.width) * source.height;
  const ptrdiff_t s = source.channels;
  const ptrdiff_t d = destination.channels;
  for (ptrdiff_t i = 0; i < n; ++i) {
    const T* in = source.begin + i * s;
    T* out = destination.begin + i * d;
    const T blue = in[0];
    out[1] = in[1];
    out[0] = in[2];
    out[2] = blue;
  }
}

template <typename T>
void CvtColor<T>::ConvertRgbToBgrInPlace(ImageBase<T>& image) {
  if (image.channels < 3 || image.begin == nullptr) return;
  const ptrdiff_t n = static_cast<ptrdiff_t>(image.width) * image.height;
  const ptrdiff_t step = image.channels;
  for (ptrdiff_t i = 0; i < n; ++i) {
    T* p = image.begin + i * step;
    const T blue = p[0];
    p[0] = p[2];
    p[2] = blue;
  }
}

template <typename T>
void CvtColor<T>::ConvertToGrey(const ImageBase<T>& source, ImageBase<T>& destination) {
  if (source.channels == 1) {
    destination.DeepCopy(source);
    return;
  }
  if (source.channels < 3) return;
  EnsureForm(destination, source.width, source.height, 1);
  if (source.channels == 3 || source.channels == 4) {
    ConvertRows(source.channels == 3 ? Pair::k3To1 : Pair::k4To1, source, destination, false);
    return;
  }
  if (source.width < 1 || source.height < 1 || source.begin == nullptr) return;
  for (ptrdiff_t y = 0; y < source.height; ++y) {
    GreyRowAnyStep(source.begin + y * source.stride, destination.begin + y * destination.stride,
                   static_cast<size_t>(source.width), static_cast<size_t>(source.channels));
  }
}

template <typename T>
void CvtColor<T>::SplitChannels(const ImageBase<T>& source, std::vector<ImageBase<T>*>& planes) {
  const int n = source.channels;
  if (n < 1 || planes.size() < static_cast<size_t>(n)) return;
  for (ImageBase<T>* plane : planes) {
    if (plane == nullptr) return;
  }
  for (ImageBase<T>* plane : planes) EnsureForm(*plane, source.width, source.height, 1);
  if (source.width < 1 || source.height < 1 || source.begin == nullptr) return;
  std::vector<T*> rows(static_cast<size_t>(n));
  for (ptrdiff_t y = 0; y < source.height; ++y) {
    for (int k = 0; k < n; ++k) rows[k] = planes[k]->begin + y * planes[k]->stride;
    const T* in = source.begin + y * source.stride;
    for (ptrdiff_t x = 0; x < source.width; ++x) {
      for (int k = 0; k < n; ++k) rows[k][x] = in[x * n + k];
    }
  }
}

template class CvtColor<unsigned char>;
template class CvtColor<unsigned short>;

}  // namespace ImageConversions
}  // namespace KVO
