#include "imaging/AbstractImageFile.h"

#include <cstring>

#include "imaging/BayerFile.h"
#include "imaging/BmpFile.h"
#include "imaging/JpegFile.h"
#include "runtime/FileAccess.h"

namespace KVO {

namespace {

template <typename File>
AbstractImageFile* Make() {
  return new File();
}

// JPEG and raw Bayer classes ignore the stride, so the saver packs for them.
const ImageFileFormatTraits kFormats[] = {
    {ImageFileFormat::Bmp, 'P', &Make<BmpFile>, &BmpFile::IsWritable, false},
    {ImageFileFormat::Jpeg, 'G', &Make<JpegFile>, &JpegFile::IsWritable, true},
    {ImageFileFormat::BayerRaw, 'W', &Make<BayerFile>, &BayerFile::IsWritable, true},
};

// What a name too short to judge, or with an ending no row claims, selects.
constexpr ImageFileFormat kFallbackFormat = ImageFileFormat::Bmp;

}  // namespace

AbstractImageFile::~AbstractImageFile() {
  if (file != nullptr) std::fclose(file);
}

bool AbstractImageFile::OpenOnce(const char* fileName, bool forReading) {
  if (fileName == nullptr || fileName[0] == '\0' || file != nullptr) return false;
  file = forReading ? OpenRegularFileForReading(fileName) : OpenForWritingInPlace(fileName);
  ok = file != nullptr;
  return ok;
}

bool AbstractImageFile::OpenStream(std::FILE* stream) {
  if (stream == nullptr || file != nullptr) return false;
  file = stream;
  ok = true;
  return true;
}

std::FILE* AbstractImageFile::ReleaseStream() {
  std::FILE* stream = file;
  file = nullptr;
  ok = false;
  return stream;
}

ImageFileFormat AbstractImageFile::GuessFormat(const char* fileName, ImageFileFormat format) {
  if (format != ImageFileFormat::Auto) return format;
  const std::size_t length = fileName == nullptr ? 0 : std::strlen(fileName);
  // Short names are taken as BMP without looking at them: a name such as
  // "a.jpg" is too short to be trusted as carrying an extension.
  if (length <= 5) return kFallbackFormat;
  // Clearing bit 0x20 folds ASCII letters to upper case; only the last
  // character decides (bmp, jpg/jpeg, raw).
  const char ending = static_cast<char>(fileName[length - 1] & ~0x20);
  for (const ImageFileFormatTraits& row : kFormats) {
    if (row.nameEnding == ending) return row.format;
  }
  return kFallbackFormat;
}

AbstractImageFile* AbstractImageFile::GetImageObject(ImageFileFormat format) {
  const ImageFileFormatTraits* row = FindImageFileFormat(format);
  return row == nullptr ? nullptr : row->make();
}

const ImageFileFormatTraits* FindImageFileFormat(ImageFileFormat format) {
  for (const ImageFileFormatTraits& row : kFormats) {
    if (row.format == format) return &row;
  }
  return nullptr;
}

}  // namespace KVO
