#include "imaging/UserDataImageBuffer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "imaging/ImageSize.h"

namespace KVO {

namespace {

// Pointer arithmetic in ptrdiff_t: the 32-bit products the callers promise
// to keep in range must not become signed overflow when they do not.
template <typename T>
T* Offset(T* base, std::ptrdiff_t elements) {
  return base == nullptr ? nullptr : base + elements;
}

template <typename T>
bool PointsInto(const T* p, const T* first, const T* last) {
  return p != nullptr && !std::less<const T*>()(p, first) && std::less<const T*>()(p, last);
}

// width * channels, widened so that absurd dimensions reach Allocate()'s
// refusal instead of overflowing here.
int PackedStride(int width, int channels) {
  return static_cast<int>(static_cast<std::int64_t>(width) * channels);
}

// The dimensions of a re-dimension, with a packed stride; storage untouched.
template <typename T>
void SetPackedForm(ImageBase<T>& image, int width, int height, int channels) {
  image.width = width;
  image.height = height;
  image.stride = PackedStride(width, channels);
  image.channels = channels;
}

// Whether the element ranges [first, last) and [otherFirst, otherLast) share
// an element.
template <typename T>
bool Overlap(const T* first, const T* last, const T* otherFirst, const T* otherLast) {
  const std::less<const T*> less;
  return first != nullptr && otherFirst != nullptr && less(first, otherLast) &&
         less(otherFirst, last);
}

}  // namespace

int CheckedElementCount(int width, int height, int channels) {
  std::uint64_t elements = 0;
  if (width < 0 || height < 0 || channels < 0 ||
      !CheckedImageElements(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                            static_cast<std::uint64_t>(channels), &elements)) {
    throw std::bad_array_new_length();
  }
  return static_cast<int>(elements);
}

template <typename T>
ImageBase<T>::ImageBase(int width, int height, int stride, int channels, T* begin, T* end)
    : width(width), height(height), stride(stride), channels(channels), begin(begin), end(end) {}

template <typename T>
ImageBase<T>::~ImageBase() = default;

template <typename T>
void ImageBase<T>::Resize(int newWidth, int newHeight, int newChannels) {
  Free();
  SetPackedForm(*this, newWidth, newHeight, newChannels);
  Allocate();
}

namespace {

// The copy rule's form test: a source without storage has nothing to write.
template <typename T>
bool NeedsRedimensionFor(const ImageBase<T>& image, const ImageBase<T>& source) {
  return NeedsRedimension(image, source.width, source.height, source.channels,
                          source.begin != nullptr);
}

}  // namespace

template <typename T>
void ImageBase<T>::CopyPixelsFrom(const ImageBase<T>& source) {
  // A source described but never given storage has nothing to read.
  if (source.begin == nullptr || begin == nullptr) return;
  const std::ptrdiff_t rowElements = static_cast<std::ptrdiff_t>(width) * channels;
  if (rowElements <= 0 || height < 1) return;
  const std::ptrdiff_t sourceStride = source.stride != 0 ? source.stride : rowElements;
  if (stride == rowElements && sourceStride == rowElements) {
    std::memmove(begin, source.begin, static_cast<std::size_t>(rowElements * height) * sizeof(T));
    return;
  }
  for (std::ptrdiff_t y = 0; y < height; ++y) {
    std::memmove(begin + y * stride, source.begin + y * sourceStride,
                 static_cast<std::size_t>(rowElements) * sizeof(T));
  }
}

template <typename T>
void ImageBase<T>::DeepCopy(const ImageBase<T>& source) {
  if (&source == this) return;
  if (!NeedsRedimensionFor(*this, source)) {
    CopyPixelsFrom(source);
    return;
  }
  if (Overlap<T>(source.begin, source.end, begin, end)) {
    // `source` views this image's storage, which Resize() releases: take
    // the pixels out first.
    UserDataGenericBuffer<T> held(source.width, source.height, source.channels, true);
    static_cast<ImageBase<T>&>(held).CopyPixelsFrom(source);
    Resize(source.width, source.height, source.channels);
    CopyPixelsFrom(held);
    return;
  }
  Resize(source.width, source.height, source.channels);
  CopyPixelsFrom(source);
}

template <typename T>
UserDataGenericBuffer<T>::UserDataGenericBuffer(int width, int height, int channels, T* data)
    : ImageBase<T>(width, height, PackedStride(width, channels), channels, data,
                   Offset(data, static_cast<std::ptrdiff_t>(width) * height * channels)),
      dataValid(false) {}

template <typename T>
UserDataGenericBuffer<T>::UserDataGenericBuffer(int width, int height, int channels,
                                                Span<T, false> data)
    : UserDataGenericBuffer(width, height, channels, data.data()) {}

template <typename T>
UserDataGenericBuffer<T>::UserDataGenericBuffer(int width, int height, int channels, bool allocate)
    : ImageBase<T>(width, height, PackedStride(width, channels), channels, nullptr, nullptr),
      dataValid(false) {
  if (allocate) Allocate();
}

template <typename T>
UserDataGenericBuffer<T>::UserDataGenericBuffer(const UserDataGenericBuffer<T>& other)
    : ImageBase<T>(0, 0, 0, 0, nullptr, nullptr), dataValid(false) {
  MemcpyFrom(other);
}

template <typename T>
UserDataGenericBuffer<T>::UserDataGenericBuffer(UserDataGenericBuffer<T>&& other) noexcept
    : ImageBase<T>(other),
      dataValid(other.dataValid),
      ownedData(std::move(other.ownedData)),
      ownedEnd(std::exchange(other.ownedEnd, nullptr)) {}

template <typename T>
UserDataGenericBuffer<T>::~UserDataGenericBuffer() = default;

template <typename T>
UserDataGenericBuffer<T>& UserDataGenericBuffer<T>::operator=(
    const UserDataGenericBuffer<T>& other) {
  MemcpyFrom(other);
  return *this;
}

template <typename T>
UserDataGenericBuffer<T>& UserDataGenericBuffer<T>::operator=(
    UserDataGenericBuffer<T>&& other) noexcept {
  if (&other == this) return *this;
  std::unique_ptr<T[]> previous = std::move(ownedData);
  T* previousEnd = ownedEnd;
  ImageBase<T>::operator=(other);
  dataValid = other.dataValid;
  ownedData = std::move(other.ownedData);
  ownedEnd = std::exchange(other.ownedEnd, nullptr);
  // Moving in a view of our own array must not free the pixels it points at.
  if (ownedData == nullptr && PointsInto<T>(begin, previous.get(), previousEnd)) {
    ownedData = std::move(previous);
    ownedEnd = previousEnd;
  }
  return *this;
}

template <typename T>
void UserDataGenericBuffer<T>::Allocate() {
  const int count = CheckedElementCount(width, height, channels);
  std::unique_ptr<T[]> fresh(new T[static_cast<std::size_t>(count)]);
  ownedData = std::move(fresh);
  begin = ownedData.get();
  end = begin + count;
  ownedEnd = end;
}

template <typename T>
void UserDataGenericBuffer<T>::Free() {
  ReleaseOwned();
  begin = nullptr;
  end = nullptr;
  dataValid = false;
}

template <typename T>
void UserDataGenericBuffer<T>::ReleaseOwned() {
  ownedData.reset();
  ownedEnd = nullptr;
}

template <typename T>
void UserDataGenericBuffer<T>::ReleaseOwnedUnlessViewed(const T* keep) {
  // The array's own extent decides: the current view may cover only part
  // of it.
  if (PointsInto<T>(keep, ownedData.get(), ownedEnd)) return;
  ReleaseOwned();
}

template <typename T>
void UserDataGenericBuffer<T>::Reset(int newWidth, int newHeight, int newChannels, T* data,
                                     int newStride) {
  ReleaseOwnedUnlessViewed(data);
  width = newWidth;
  height = newHeight;
  channels = newChannels;
  stride = newStride != 0 ? newStride : PackedStride(newWidth, newChannels);
  begin = data;
  end = Offset(data, static_cast<std::ptrdiff_t>(newWidth) * newChannels +
                         static_cast<std::ptrdiff_t>(newHeight - 1) * stride);
  dataValid = false;
}

template <typename T>
void UserDataGenericBuffer<T>::Reset(int newWidth, int newHeight, int newChannels, bool allocate) {
  UserDataGenericBuffer<T>::Free();
  SetPackedForm(*this, newWidth, newHeight, newChannels);
  if (allocate) Allocate();
}

template <typename T>
void UserDataGenericBuffer<T>::Reset(UserDataGenericBuffer<T>& other) {
  if (&other == this) return;
  ReleaseOwnedUnlessViewed(other.begin);
  ImageBase<T>::operator=(other);
  dataValid = other.dataValid;
}

template <typename T>
void UserDataGenericBuffer<T>::Reset(int newWidth, int newHeight, int newChannels,
                                     std::unique_ptr<T[]>&& data, int newStride) {
  Reset(newWidth, newHeight, newChannels, data.get(), newStride);
  ownedData = std::move(data);
  ownedEnd = end;
}

template <typename T>
void UserDataGenericBuffer<T>::Redimension(int newWidth, int newHeight, int newChannels) {
  UserDataGenericBuffer<T>::Free();
  SetPackedForm(*this, newWidth, newHeight, newChannels);
  UserDataGenericBuffer<T>::Allocate();
}

template <typename T>
void UserDataGenericBuffer<T>::MemcpyFrom(const UserDataGenericBuffer<T>* other) {
  if (other != nullptr) MemcpyFrom(*other);
}

template <typename T>
void UserDataGenericBuffer<T>::MemcpyFrom(const UserDataGenericBuffer<T>& other) {
  if (&other == this) return;
  // `other` may view this buffer's own array (a crop of it): that array
  // must outlive the copy even though the re-dimension replaces it.
  std::unique_ptr<T[]> viewedByOther;
  if (NeedsRedimensionFor<T>(*this, other)) {
    if (Overlap<T>(other.begin, other.end, ownedData.get(), ownedEnd)) {
      viewedByOther = std::move(ownedData);
      ownedEnd = nullptr;
    }
    Redimension(other.width, other.height, other.channels);
  }
  this->CopyPixelsFrom(other);
}

template <typename T>
void UserDataGenericBuffer<T>::ShallowCopy(UserDataGenericBuffer<T>& other) {
  Reset(other);
}

#define KVO_DEFINE_IMAGE_BUFFER(T) \
  template class ImageBase<T>;     \
  template class UserDataGenericBuffer<T>;
KVO_IMAGE_BUFFER_TYPES(KVO_DEFINE_IMAGE_BUFFER)
#undef KVO_DEFINE_IMAGE_BUFFER

}  // namespace KVO
