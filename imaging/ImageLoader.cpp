// Construction, destruction and the single loads of the image loader. The
// sequence side (loading thread, queue) is in ImageLoaderSequence.cpp.
#include "imaging/ImageLoader.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include <boost/filesystem/operations.hpp>

#include "imaging/ImageConversions.h"
#include "imaging/ImageSize.h"

namespace KVO {

namespace {

// The file object for fileName with its header read, or null when the format
// has no class or the file cannot be opened or its header read.
std::unique_ptr<AbstractImageFile> OpenWithHeader(const char* fileName, ImageFileFormat format) {
  std::unique_ptr<AbstractImageFile> file(
      AbstractImageFile::GetImageObject(AbstractImageFile::GuessFormat(fileName, format)));
  if (file && !(file->Open(fileName, true) && file->GetInfo())) file.reset();
  return file;
}

bool IsConvertible(unsigned int channels) {
  return channels == 1 || channels == 3 || channels == 4;
}

}  // namespace

struct ImageLoader::Destination {
  enum Kind { kNewArray, kCallerBuffer, kReallocable };
  static Destination NewArray(std::unique_ptr<unsigned char[]>& result) {
    Destination destination{kNewArray};
    destination.array = &result;
    return destination;
  }
  static Destination CallerBuffer(unsigned char* buffer, unsigned int bufferSize) {
    Destination destination{kCallerBuffer};
    destination.buffer = buffer;
    destination.bufferSize = bufferSize;
    return destination;
  }
  static Destination Reallocable(std::unique_ptr<unsigned char[]>& array, unsigned int& capacity) {
    Destination destination{kReallocable};
    destination.array = &array;
    destination.capacity = &capacity;
    return destination;
  }

  Kind kind;
  // kNewArray and kReallocable: the array (and its size in bytes).
  std::unique_ptr<unsigned char[]>* array = nullptr;
  unsigned int* capacity = nullptr;
  // kCallerBuffer.
  unsigned char* buffer = nullptr;
  unsigned int bufferSize = 0;

  // Answers where to put `bytes` bytes, or null when they do not fit.
  unsigned char* Prepare(std::uint64_t bytes) {
    switch (kind) {
      case kCallerBuffer:
        // Null for a null buffer too: nothing fits there.
        return bytes <= bufferSize ? buffer : nullptr;
      case kNewArray:
        array->reset(new unsigned char[bytes]);
        return array->get();
      case kReallocable:
        if (*capacity < bytes || !*array) {
          // Release first so that array and capacity agree even when the
          // allocation throws.
          array->reset();
          *capacity = 0;
          array->reset(new unsigned char[bytes]);
          *capacity = static_cast<unsigned int>(bytes);
        }
        return array->get();
    }
    return nullptr;
  }

  void ReadFailed() {
    if (kind == kCallerBuffer) return;
    array->reset();
    if (capacity) *capacity = 0;
  }
};

unsigned char* ImageLoader::ScratchBuffer::Reserve(std::uint64_t bytes) {
  if (capacity < bytes || !data) {
    data.reset();
    capacity = 0;
    data.reset(new unsigned char[bytes]);
    capacity = static_cast<unsigned int>(bytes);
  }
  return data.get();
}

ImageLoader::ImageLoader() : wakeEvent(new WaitHandle(false, true)) {
  freeUnits.set_capacity(loadingQueueMaxLength.load());
  loadedUnits.set_capacity(loadingQueueMaxLength.load());
  // The pool is filled before the thread starts: a throw after the start
  // would leave a thread that no destructor wakes.
  for (unsigned int i = 0; i < loadingQueueMaxLength.load(); ++i) {
    AddEmptyUnit();
  }
  thread.Start(std::function<void()>([this] { ThreadLoop(); }));
}

ImageLoader::~ImageLoader() {
  CloseInput();
  running.store(false);
  wakeEvent->Set();
  thread.Join();
  wakeEvent.reset();
  MutexLock hold(lock);
  scratch = ScratchBuffer();
  threadScratch = ScratchBuffer();
  freeUnits.clear();
  loadedUnits.clear();
}

unsigned int ImageLoader::GetLoadingQueueMaxLength() { return loadingQueueMaxLength.load(); }

unsigned int ImageLoader::GetStatus() { return status.load(); }

unsigned int ImageLoader::GetNextMediaType() { return nextMediaType.load(); }

// Before the first frame is queued the position lies one step before the
// start; reported modulo 2^32 as it always was.
unsigned int ImageLoader::GetLastLoadedFrameNumber() const {
  return static_cast<unsigned int>(lastFrame.load());
}

unsigned int ImageLoader::GetDesiredChannels(DesiredChannelsEnum desired,
                                             unsigned int fileChannels) const {
  switch (desired) {
    case DesiredChannelsEnum::AsFile:
      return fileChannels;
    case DesiredChannelsEnum::OneOrFour:
      return fileChannels == 1 ? 1u : 4u;
    default:
      return static_cast<unsigned int>(desired);
  }
}

bool ImageLoader::GetInfo(const char* fileName, unsigned int& width, unsigned int& height,
                          unsigned int& channels, ImageFileFormat format) {
  const std::unique_ptr<AbstractImageFile> file = OpenWithHeader(fileName, format);
  if (!file) return false;
  width = file->GetWidth();
  height = file->GetHeight();
  channels = file->GetChannels();
  return true;
}

bool ImageLoader::LoadBytes(const char* fileName, unsigned int& width, unsigned int& height,
                            unsigned int& channels, DesiredChannelsEnum desired,
                            ImageFileFormat format, ScratchBuffer& scratchBuffer,
                            Destination& destination, long* timestamp,
                            boost::filesystem::path* pathCache) {
  // Values above 4 would reach the conversions as channel counts they
  // cannot write into a buffer sized for them.
  if (static_cast<unsigned int>(desired) > 4) return false;
  const std::unique_ptr<AbstractImageFile> file = OpenWithHeader(fileName, format);
  if (!file) return false;

  if (timestamp) {
    // The thread reuses one path object so that a steady sequence allocates
    // nothing once its names have reached their length.
    if (pathCache) {
      *pathCache = fileName;
      *timestamp = static_cast<long>(boost::filesystem::last_write_time(*pathCache));
    } else {
      *timestamp = static_cast<long>(boost::filesystem::last_write_time(fileName));
    }
  }

  const unsigned int fileWidth = file->GetWidth();
  const unsigned int fileHeight = file->GetHeight();
  const bool flipped = file->IsFlipped();
  const unsigned int fileChannels = file->GetChannels();
  const unsigned int wanted = GetDesiredChannels(desired, fileChannels);
  width = fileWidth;
  height = fileHeight;
  channels = wanted;

  // A pair the conversions do not handle would leave the destination
  // untouched while the load reported success.
  if (fileChannels == 0) return false;
  if (wanted != fileChannels && !(IsConvertible(fileChannels) && IsConvertible(wanted))) {
    return false;
  }
  // The imaging layer counts elements, rows and offsets in int; every buffer
  // the loader hands on must stay within that.
  if (!CheckedImageElements(fileWidth, fileHeight, fileChannels, nullptr) ||
      !CheckedImageElements(fileWidth, fileHeight, wanted, nullptr)) {
    return false;
  }
  const std::uint64_t pixels = std::uint64_t{fileWidth} * fileHeight;
  const std::uint64_t wantedBytes = pixels * wanted;
  const std::uint64_t fileBytes = pixels * fileChannels;

  unsigned char* target = destination.Prepare(wantedBytes);
  if (!target) return false;

  bool read = false;
  if (!flipped && wanted == fileChannels) {
    read = file->ReadFile(target);
  } else if (!flipped && wanted > fileChannels && fileBytes > 0) {
    read = ReadExpanding(*file, target, fileWidth, fileHeight, fileChannels, wanted, scratchBuffer);
  } else {
    unsigned char* raw = scratchBuffer.Reserve(fileBytes);
    read = file->ReadFile(raw);
    if (read) {
      const int w = static_cast<int>(fileWidth);
      const int h = static_cast<int>(fileHeight);
      if (wanted == fileChannels) {
        // Same channels, so the file is top-down: turn the rows only.
        ImageConversions::FlipVertically(raw, target, w, h, static_cast<int>(fileChannels));
      } else {
        ImageConversions::CvtColor<unsigned char>::ConvertColor(
            raw, target, w, h, static_cast<int>(fileChannels), static_cast<int>(wanted), flipped);
      }
    }
  }
  if (!read) destination.ReadFailed();
  return read;
}

bool ImageLoader::ReadExpanding(AbstractImageFile& file, unsigned char* target, unsigned int width,
                                unsigned int height, unsigned int fileChannels, unsigned int wanted,
                                ScratchBuffer& scratchBuffer) {
  // The destination is larger than the file's pixels, so they are read into
  // its tail and converted forward in strips: a fresh scratch array of the
  // whole picture per call would cost more in page faults than the
  // conversion itself. Each strip's destination ends where its source
  // begins, so every conversion sees disjoint buffers.
  const std::uint64_t sourceRowBytes = std::uint64_t{width} * fileChannels;
  const std::uint64_t targetRowBytes = std::uint64_t{width} * wanted;
  unsigned char* source = target + (targetRowBytes - sourceRowBytes) * height;
  if (!file.ReadFile(source)) return false;
  const int w = static_cast<int>(width);
  const int from = static_cast<int>(fileChannels);
  const int to = static_cast<int>(wanted);
  unsigned int done = 0;
  for (;;) {
    const unsigned int rows =
        static_cast<unsigned int>(std::uint64_t{height - done} * (wanted - fileChannels) / wanted);
    if (rows == 0) break;
    ImageConversions::CvtColor<unsigned char>::ConvertColor(
        source + done * sourceRowBytes, target + done * targetRowBytes, w, static_cast<int>(rows),
        from, to, false);
    done += rows;
  }
  // The last few rows overlap their own source; they go through a copy.
  const unsigned int rest = height - done;
  if (rest > 0) {
    unsigned char* copy = scratchBuffer.Reserve(sourceRowBytes * rest);
    std::memcpy(copy, source + done * sourceRowBytes, sourceRowBytes * rest);
    ImageConversions::CvtColor<unsigned char>::ConvertColor(
        copy, target + done * targetRowBytes, w, static_cast<int>(rest), from, to, false);
  }
  return true;
}

std::unique_ptr<unsigned char[]> ImageLoader::LoadSingle(const char* fileName, unsigned int& width,
                                                         unsigned int& height,
                                                         unsigned int& channels,
                                                         DesiredChannelsEnum desired,
                                                         ImageFileFormat format) {
  std::unique_ptr<unsigned char[]> result;
  Destination destination = Destination::NewArray(result);
  if (!LoadBytes(fileName, width, height, channels, desired, format, scratch, destination, nullptr,
                 nullptr)) {
    result.reset();
  }
  return result;
}

bool ImageLoader::LoadSingleInBuffer(const char* fileName, unsigned int& width,
                                     unsigned int& height, unsigned int& channels,
                                     unsigned int bufferSize, unsigned char* buffer,
                                     DesiredChannelsEnum desired, ImageFileFormat format) {
  Destination destination = Destination::CallerBuffer(buffer, bufferSize);
  return LoadBytes(fileName, width, height, channels, desired, format, scratch, destination,
                   nullptr, nullptr);
}

bool ImageLoader::LoadSingleInReallocableBuffer(const char* fileName, unsigned int& width,
                                                unsigned int& height, unsigned int& channels,
                                                unsigned int& capacity, long& timestamp,
                                                std::unique_ptr<unsigned char[]>& buffer,
                                                DesiredChannelsEnum desired,
                                                ImageFileFormat format) {
  Destination destination = Destination::Reallocable(buffer, capacity);
  return LoadBytes(fileName, width, height, channels, desired, format, scratch, destination,
                   &timestamp, nullptr);
}

bool ImageLoader::LoadSingleInReallocableBufferPrivate(const char* fileName, unsigned int& width,
                                                       unsigned int& height, unsigned int& channels,
                                                       unsigned int& capacity, long& timestamp,
                                                       std::unique_ptr<unsigned char[]>& buffer,
                                                       ImageFileFormat format) {
  Destination destination = Destination::Reallocable(buffer, capacity);
  return LoadBytes(fileName, width, height, channels, threadSequence.desiredChannels, format,
                   threadScratch, destination, &timestamp, &threadPath);
}

bool ImageLoader::Load(const std::string& fileName, ImageBase<unsigned char>& image) {
  const std::unique_ptr<AbstractImageFile> file =
      OpenWithHeader(fileName.c_str(), ImageFileFormat::Auto);
  if (!file) return false;
  const unsigned int fileWidth = file->GetWidth();
  const unsigned int fileHeight = file->GetHeight();
  const unsigned int fileChannels = file->GetChannels();
  if (fileChannels == 0 || !CheckedImageElements(fileWidth, fileHeight, fileChannels, nullptr)) {
    return false;
  }
  const int w = static_cast<int>(fileWidth);
  const int h = static_cast<int>(fileHeight);
  const int c = static_cast<int>(fileChannels);
  // An image of the right size without storage (never allocated, or freed)
  // needs an array too: the pixels must not go through a null pointer.
  if (image.width != w || image.height != h || image.channels != c || image.stride != w * c ||
      image.begin == nullptr) {
    image.Free();
    image.stride = w * c;
    image.channels = c;
    image.width = w;
    image.height = h;
    image.Allocate();
  }
  if (file->IsFlipped()) {
    unsigned char* raw = scratch.Reserve(std::uint64_t{fileWidth} * fileHeight * fileChannels);
    if (!file->ReadFile(raw)) return false;
    ImageConversions::FlipVertically(raw, image.begin, w, h, c);
    return true;
  }
  return file->ReadFile(image.begin);
}

}  // namespace KVO
