#include "imaging/ImageSaver.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "runtime/FileAccess.h"

namespace KVO {

bool ImageSaver::Save(const char* fileName, unsigned int width, unsigned int height,
                      unsigned int channels, const unsigned char* data, ImageFileFormat format,
                      unsigned int stride) {
  if (!data) return false;
  const ImageFileFormat resolved = AbstractImageFile::GuessFormat(fileName, format);
  // What the file class would refuse only after the file has been opened
  // for writing (and so truncated) is refused here first.
  const ImageFileFormatTraits* traits = FindImageFileFormat(resolved);
  if (traits == nullptr || !traits->isWritable(width, height, channels)) return false;
  const std::unique_ptr<AbstractImageFile> file(traits->make());

  // A strided picture is packed here first for a class that reads its rows
  // packed, so that it is not saved sheared.
  const std::uint64_t rowBytes = std::uint64_t{width} * channels;
  std::unique_ptr<unsigned char[]> packed;
  if (traits->readsPackedRows && stride != 0 && stride != rowBytes) {
    packed.reset(new unsigned char[rowBytes * height]);
    for (std::uint64_t row = 0; row < height; ++row) {
      std::memcpy(packed.get() + row * rowBytes, data + row * stride, rowBytes);
    }
    data = packed.get();
    stride = 0;
  }

  // The file object writes into the writer's stream and hands it back, so
  // that closing it is checked before the new file takes the old one's place.
  ReplacingFileWriter target;
  std::FILE* stream = target.Open(fileName);
  if (stream == nullptr || !file->OpenStream(stream)) return false;
  const bool written = file->WriteFile(width, height, channels, data, stride);
  return target.Finish(file->ReleaseStream(), written);
}

bool ImageSaver::Save(const char* fileName, const ImageBase<unsigned char>& image,
                      ImageFileFormat format) {
  if (image.width < 0 || image.height < 0 || image.channels < 0 || image.stride < 0) {
    return false;
  }
  return Save(fileName, static_cast<unsigned int>(image.width),
              static_cast<unsigned int>(image.height), static_cast<unsigned int>(image.channels),
              image.begin, format, static_cast<unsigned int>(image.stride));
}

bool ImageSaver::SaveBitmap(const char* fileName, unsigned int width, unsigned int height,
                            unsigned int channels, const unsigned char* data) {
  return StaticSaveBitmap(fileName, width, height, channels, data);
}

bool ImageSaver::StaticSaveBitmap(const char* fileName, unsigned int width, unsigned int height,
                                  unsigned int channels, const unsigned char* data) {
  return Save(fileName, width, height, channels, data, ImageFileFormat::Bmp, 0);
}

bool ImageSaver::SaveBitmap(const char* fileName, const ImageBase<unsigned char>& image) {
  if (image.width < 0 || image.height < 0 || image.channels < 0) return false;
  return SaveBitmap(fileName, static_cast<unsigned int>(image.width),
                    static_cast<unsigned int>(image.height),
                    static_cast<unsigned int>(image.channels), image.begin);
}

}  // namespace KVO
