#include "imaging/AbstractImageFile.h"

#include <cstring>

#include "imaging/BayerFile.h"
#include "imaging/BmpFile.h"
#include "imaging/JpegFile.h"
#include "runtime/FileAccess.h"

namespace KVO {

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
  if (length <= 5) return ImageFileFormat::Bmp;
  // Clearing bit 0x20 folds ASCII letters to upper case; only the last
  // character decides (bmp, jpg/jpeg, raw).
  switch (static_cast<char>(fileName[length - 1] & ~0x20)) {
    case 'G':
      return ImageFileFormat::Jpeg;
    case 'W':
      return ImageFileFormat::BayerRaw;
    case 'P':
    default:
      return ImageFileFormat::Bmp;
  }
}

AbstractImageFile* AbstractImageFile::GetImageObject(ImageFileFormat format) {
  switch (format) {
    case ImageFileFormat::Bmp:
      return new BmpFile();
    case ImageFileFormat::Jpeg:
      return new JpegFile();
    case ImageFileFormat::BayerRaw:
      return new BayerFile();
    case ImageFileFormat::Auto:
    default:
      return nullptr;
  }
}

}  // namespace KVO
