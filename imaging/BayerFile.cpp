#include "imaging/BayerFile.h"

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "imaging/ImageSize.h"
#include "runtime/FileAccess.h"

namespace KVO {

namespace {

// Small enough to stay in a core's own cache between the kernel's write and
// the copy out, and below the allocator's threshold for a fresh mapping.
constexpr std::size_t kBandBytes = std::size_t{120} << 10;

// Reads rows from the stream's current position, the first row read into
// the last row of dst, so the top-down file ends bottom-up in memory. Every
// row is attempted even after a short read; answers the bytes read in all.
// The row-by-row path for streams without a descriptor (fmemopen).
std::uint64_t FreadRowsBottomUp(std::FILE* stream, unsigned char* dst, std::size_t rowBytes,
                                std::size_t rows) {
  std::uint64_t bytesRead = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    bytesRead += std::fread(dst + (rows - 1 - row) * rowBytes, 1, rowBytes, stream);
  }
  return bytesRead;
}

// Copies with non-temporal stores where the CPU has them: the destination
// is not read first, and the frame does not evict the cache. Every whole
// 16 bytes goes through them, tails included, because a plain store to a
// line still being gathered for a streaming write stalls both. The caller
// fences once after the last row.
void StreamRow(const unsigned char* source, unsigned char* destination, std::size_t bytes) {
#if defined(__SSE2__)
  std::size_t done =
      std::min<std::size_t>(bytes, (16 - reinterpret_cast<std::uintptr_t>(destination) % 16) % 16);
  std::memcpy(destination, source, done);
  for (; done + 64 <= bytes; done += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(destination + done), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(destination + done + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(destination + done + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(destination + done + 48), d);
  }
  for (; done + 16 <= bytes; done += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(destination + done),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + done)));
  }
  std::memcpy(destination + done, source + done, bytes - done);
#else
  std::memcpy(destination, source, bytes);
#endif
}

// Reads up to `bytes` bytes at `offset`, going on after interrupted and
// partial transfers; fewer bytes only at end of file or on an error.
std::size_t ReadAt(int fd, unsigned char* buffer, std::size_t bytes, off_t offset) {
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t got = pread(fd, buffer + done, bytes - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// As FreadRowsBottomUp, with the same bytes in dst and the same count, but
// in bands of whole rows. Scattering the rows bottom-up straight into dst
// makes the kernel write short, misaligned pieces in falling address order,
// which costs about 1.8 times a plain read of the file; reading a band into
// a block that stays in the core's cache and streaming its rows into place
// writes dst in long forward runs without first reading each line of it.
// Rows longer than a band go straight into place. The read ends at end of
// file, which fread treats as sticky, so the row loop would read nothing
// more either; it also ends on an error. The stream is left positioned
// after the bytes read, as the row loop would leave it.
std::uint64_t ReadRowsBottomUp(std::FILE* stream, unsigned char* dst, std::size_t rowBytes,
                               std::size_t rows) {
  const int fd = fileno(stream);
  // Pending writes of an update stream must reach the file before it is
  // read beneath the stream; for a read stream this only drops the buffer.
  const off_t start = fd < 0 || std::fflush(stream) != 0 ? -1 : ftello(stream);
  if (start < 0 || rowBytes == 0) return FreadRowsBottomUp(stream, dst, rowBytes, rows);
  const std::size_t bandRows = kBandBytes / rowBytes;
  std::unique_ptr<unsigned char[]> band;
  if (bandRows > 0) {
    band.reset(new (std::nothrow) unsigned char[bandRows * rowBytes]);
    if (!band) return FreadRowsBottomUp(stream, dst, rowBytes, rows);
  }
  std::uint64_t bytesRead = 0;
  for (std::size_t row = 0; row < rows;) {
    const off_t offset = start + static_cast<off_t>(bytesRead);
    const std::size_t count = bandRows == 0 ? 1 : std::min(bandRows, rows - row);
    const std::size_t wanted = count * rowBytes;
    std::size_t got;
    if (bandRows == 0) {
      got = ReadAt(fd, dst + (rows - 1 - row) * rowBytes, wanted, offset);
    } else {
      got = ReadAt(fd, band.get(), wanted, offset);
      for (std::size_t i = 0; i * rowBytes < got; ++i) {
        const std::size_t bytes = std::min(rowBytes, got - i * rowBytes);
        StreamRow(band.get() + i * rowBytes, dst + (rows - 1 - row - i) * rowBytes, bytes);
      }
    }
    row += count;
    bytesRead += got;
    if (got < wanted) break;
  }
#if defined(__SSE2__)
  _mm_sfence();
#endif
  fseeko(stream, start + static_cast<off_t>(bytesRead), SEEK_SET);
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

bool BayerFile::IsWritable(unsigned int imageWidth, unsigned int imageHeight,
                           unsigned int imageChannels) {
  return imageWidth == 0 && imageHeight == 0 && imageChannels == 0;
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
