#ifndef IMAGING_USERDATAIMAGEBUFFER_H_
#define IMAGING_USERDATAIMAGEBUFFER_H_

#include <memory>

namespace KVO {

// Non-owning handle on caller memory. The second argument says whether the
// handle also carries an element count; only the pointer-only form exists.
template <typename T, bool Sized>
class Span;

template <typename T>
class Span<T, false> {
 public:
  explicit Span(T* data) : data_(data) {}
  T* data() const { return data_; }

 private:
  T* data_;
};

// Descriptor of an interleaved image of elements of type T.
//
// Layout in address terms: element c of pixel (x, y) lies at
// begin[y * stride + x * channels + c]; the channels of a pixel are adjacent,
// the pixels of a row are adjacent, and row y starts `stride` elements after
// row y - 1. Row 0 is the first row in memory (for image files that is the
// bottom row of the picture). `stride` counts elements, not bytes.
//
// An image is packed when stride == width * channels: its rows follow one
// another without gaps. An image with storage has
// end == begin + (height - 1) * stride + width * channels; one without
// storage has begin == end == nullptr.
// Element counts are 32-bit signed: an image holds at most 2,147,483,647
// elements.
//
// Not thread-safe: a caller sharing an image between threads locks it.
template <typename T>
class ImageBase {
 public:
  int width;
  int height;
  int stride;
  int channels;
  T* begin;
  T* end;

  virtual ~ImageBase();

  // Gives the image storage for its current dimensions. Throws the standard
  // allocation exception (std::bad_alloc or derived) on failure.
  virtual void Allocate() = 0;
  // Releases the storage; viewed memory is never freed.
  virtual void Free() = 0;

  // Makes this image a copy of `source`: re-dimensions through Resize() only
  // when width, height or channels differ (or when this image has no storage
  // to receive the pixels), otherwise writes into the existing storage at its
  // own stride. A source stride of 0 reads as packed. A source without
  // storage moves nothing. `source` may view this image's own storage (a
  // crop of it). May throw the allocation exception.
  void DeepCopy(const ImageBase<T>& source);

  // Free(), then the given dimensions with a packed stride, then Allocate().
  // On allocation failure the image keeps the new dimensions and no storage.
  void Resize(int width, int height, int channels);

 protected:
  ImageBase(int width, int height, int stride, int channels, T* begin, T* end);
  ImageBase(const ImageBase&) = default;
  ImageBase& operator=(const ImageBase&) = default;

  // Moves the pixels of `source` into this image, whose width, height and
  // channels already equal the source's: one block move when both are
  // packed, else one move per row. Overlap is tolerated.
  void CopyPixelsFrom(const ImageBase<T>& source);
};

// The one re-dimension rule of the image operations: `image` must be
// re-dimensioned to width x height x channels before pixels are written into
// it when its form differs, or when it has that form but no storage while
// there are pixels to write (`pixelsToWrite` false: a source without
// storage, so a matching image is left alone). A matching image with storage
// keeps its stride and memory.
template <typename T>
bool NeedsRedimension(const ImageBase<T>& image, int width, int height, int channels,
                      bool pixelsToWrite = true) {
  if (image.width != width || image.height != height || image.channels != channels) return true;
  // Rows cannot be written through a null begin.
  return image.begin == nullptr && pixelsToWrite && width > 0 && height > 0 && channels > 0;
}

// Applies that rule through Resize() (packed stride); may throw the
// allocation exception.
template <typename T>
void EnsureForm(ImageBase<T>& image, int width, int height, int channels) {
  if (NeedsRedimension(image, width, height, channels)) image.Resize(width, height, channels);
}

// Width * height * channels as a 32-bit count. Negative dimensions or a
// count beyond 2,147,483,647 throw std::bad_array_new_length (an allocation
// exception) rather than wrapping.
int CheckedElementCount(int width, int height, int channels);

// The concrete image: owns a packed array, owns an adopted array of any
// stride, views caller memory, or has no storage.
//
// Ownership: a view never frees, resizes or reallocates the memory it views;
// that memory must outlive every use of the view. Destruction releases only
// an owned array. Allocated arrays are uninitialised.
//
// `dataValid` is a marker for the buffer's user; the buffer clears it or
// carries it over but never sets it on its own.
template <typename T>
class UserDataGenericBuffer : public ImageBase<T> {
 public:
  using ImageBase<T>::width;
  using ImageBase<T>::height;
  using ImageBase<T>::stride;
  using ImageBase<T>::channels;
  using ImageBase<T>::begin;
  using ImageBase<T>::end;

  bool dataValid;

  // Packed view of `data`, which must hold width * height * channels
  // elements (null only with an element count of 0).
  UserDataGenericBuffer(int width, int height, int channels, T* data);
  UserDataGenericBuffer(int width, int height, int channels, Span<T, false> data);
  // With `allocate`, owns a new uninitialised packed array; without, has no
  // storage. Throws the allocation exception.
  UserDataGenericBuffer(int width, int height, int channels, bool allocate);
  // Owns a packed copy of `other`'s pixels; dataValid is false.
  UserDataGenericBuffer(const UserDataGenericBuffer<T>& other);
  // Takes `other`'s array; `other` is left a view of it.
  UserDataGenericBuffer(UserDataGenericBuffer<T>&& other) noexcept;
  ~UserDataGenericBuffer() override;

  // Exactly MemcpyFrom(other).
  UserDataGenericBuffer<T>& operator=(const UserDataGenericBuffer<T>& other);
  // Takes `other`'s fields and array, then releases the previous array
  // (kept when `other` viewed it). A self-move changes nothing.
  UserDataGenericBuffer<T>& operator=(UserDataGenericBuffer<T>&& other) noexcept;

  // New packed array for the current width, height and channels; the old
  // one is released only after the new one exists, so a failure leaves the
  // buffer as it was. Callers set stride = width * channels first.
  void Allocate() override;
  // Releases an owned array; begin/end null, dataValid false; dimensions kept.
  void Free() override;

  // View of caller memory at `stride` elements per row (0 means packed).
  // Pointing into the buffer's own array keeps that array alive.
  void Reset(int width, int height, int channels, T* data, int stride);
  // Packed dimensions, no storage; then Allocate() when `allocate` is set.
  void Reset(int width, int height, int channels, bool allocate);
  // View of `other`'s memory with its fields and dataValid; `other` keeps
  // any ownership. A no-op when `other` is this buffer.
  void Reset(UserDataGenericBuffer<T>& other);
  // As the pointer form, then owns `data`'s array (left empty).
  void Reset(int width, int height, int channels, std::unique_ptr<T[]>&& data, int stride);

  // The copy rule of DeepCopy using this buffer's own Free()/Allocate().
  // The pointer form does nothing for a null pointer.
  void MemcpyFrom(const UserDataGenericBuffer<T>* other);
  void MemcpyFrom(const UserDataGenericBuffer<T>& other);
  // Same as Reset(other).
  void ShallowCopy(UserDataGenericBuffer<T>& other);

  bool GetDataValid() const { return dataValid; }
  void SetDataValid(bool valid) { dataValid = valid; }

 private:
  void ReleaseOwned();
  // Releases the owned array unless `keep` points into it.
  void ReleaseOwnedUnlessViewed(const T* keep);
  void Redimension(int width, int height, int channels);

  std::unique_ptr<T[]> ownedData;
  // One past the owned array's last element (null without one); a view
  // into the array may cover less of it than begin..end shows.
  T* ownedEnd = nullptr;
};

#define KVO_IMAGE_BUFFER_TYPES(X) \
  X(unsigned char)                \
  X(unsigned short)               \
  X(unsigned int)                 \
  X(unsigned long)                \
  X(signed char)                  \
  X(short)                        \
  X(int)                          \
  X(long)                         \
  X(float)                        \
  X(double)                       \
  X(bool)

#define KVO_DECLARE_IMAGE_BUFFER(T)   \
  extern template class ImageBase<T>; \
  extern template class UserDataGenericBuffer<T>;
KVO_IMAGE_BUFFER_TYPES(KVO_DECLARE_IMAGE_BUFFER)
#undef KVO_DECLARE_IMAGE_BUFFER

}  // namespace KVO

#endif  // IMAGING_USERDATAIMAGEBUFFER_H_
