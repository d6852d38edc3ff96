#include "imaging/BayerFile.h"

#include <cstdint>

#include "imaging/ImageSize.h"
#include "runtime/FileAccess.h"

namespace KVO {

namespace {

// Reads rows from the stream's current position, the first row read into
// the last row of dst, so the top-down file ends bottom-up in memory. Every
// row is attempted even after a short read; answers the bytes read in all.
std::uint64_t ReadRowsBottomUp(std::FILE* stream, unsigned char* dst, std::size_t rowBytes,
                               std::size_t rows) {
  std::uint64_t bytesRead = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    bytesRead += std::fread(dst + (rows - 1 - row) * rowBytes, 1, rowBytes, stream);
  }
  return bytesRead;
}

}  // namespace

bool BayerFile::Open(const char* fileName, bool forReading) {
  return OpenOnce(fileName, forReading);
}

bool BayerFile::GetInfo() {
  if (!ok) return false;
  ok = false;
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long fileBytes = std::ftell(file);
  std::rewind(file);
  if (fileBytes != kFileBytes) return false;
  width = kWidth;
  height = kHeight;
  channels = 1;
  flipped = false;
  ok = true;
  return true;
}

bool BayerFile::ReadFile(unsigned char* dst) {
  if (dst == nullptr || !ok) return false;
  ok = false;
  if (file == nullptr) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  const std::uint64_t bytesRead = ReadRowsBottomUp(file, dst, rowBytes, height);
  ok = bytesRead == std::uint64_t{rowBytes} * height;
  return ok;
}

bool BayerFile::WriteFile(unsigned int imageWidth, unsigned int imageHeight,
                          unsigned int imageChannels, const unsigned char* data,
                          unsigned int /*stride*/) {
  if (!ok || file == nullptr) return false;
  if (imageWidth != width || imageHeight != height || imageChannels != channels) {
    return false;
  }
  const std::size_t totalBytes = static_cast<std::size_t>(imageWidth) * imageHeight * imageChannels;
  if (totalBytes == 0) return true;
  if (data == nullptr) return false;
  std::rewind(file);
  const bool written = std::fwrite(data, 1, totalBytes, file) == totalBytes;
  // Flush here so that a full disk is reported to the caller rather than
  // lost in the destructor's fclose.
  return std::fflush(file) == 0 && written;
}

bool BayerFile::LoadFile(const char* fileName, unsigned char* dst, unsigned int width,
                         unsigned int height, unsigned int channels) {
  if (fileName == nullptr || dst == nullptr) return false;
  std::uint64_t totalBytes = 0;
  if (!CheckedImageElements(width, height, channels, &totalBytes)) {
    return false;
  }
  std::FILE* stream = OpenRegularFileForReading(fileName);
  if (stream == nullptr) return false;
  const std::uint64_t bytesRead =
      ReadRowsBottomUp(stream, dst, static_cast<std::size_t>(width) * channels, height);
  std::fclose(stream);
  return bytesRead == totalBytes;
}

}  // namespace KVO
