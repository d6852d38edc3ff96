#include "imaging/BmpFile.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include <boost/endian/conversion.hpp>

#include "imaging/ImageSize.h"

namespace KVO {

namespace {

constexpr std::size_t kHeadersBytes = 14 + 40;
constexpr std::size_t kPaletteBytes = 256 * 4;
constexpr int kPlainDataOffset = 54;
constexpr int kPalettedDataOffset = 1078;

std::uint64_t PaddedRowBytes(std::uint64_t rowBytes) { return (rowBytes + 3) & ~std::uint64_t{3}; }

bool IsSupportedBitsPerPixel(int bitsPerPixel) {
  switch (bitsPerPixel) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
      return true;
    default:
      return false;
  }
}

constexpr std::uint32_t kNoCompression = 0;  // BI_RGB
constexpr std::uint32_t kBitFields = 3;      // BI_BITFIELDS
constexpr std::size_t kMasksOffset = 54;     // inside or right after the info header
constexpr std::uint32_t kAlphaMaskHeaderBytes = 56;

bool ReadAt(std::FILE* file, long offset, unsigned char* bytes, std::size_t count) {
  return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(bytes, 1, count, file) == count;
}

// Bit fields are accepted only when they say what reading plain bytes gives:
// B, G, R from the lowest address (then an alpha or unused byte).
bool MasksAreBgrBytes(std::FILE* file, std::uint32_t infoBytes, int bitsPerPixel) {
  if (bitsPerPixel != 24 && bitsPerPixel != 32) return false;
  unsigned char masks[16];
  const bool hasAlpha = infoBytes >= kAlphaMaskHeaderBytes;
  if (!ReadAt(file, kMasksOffset, masks, hasAlpha ? 16 : 12)) return false;
  const std::uint32_t alpha = hasAlpha ? boost::endian::load_little_u32(masks + 12) : 0;
  return boost::endian::load_little_u32(masks) == 0x00FF0000u &&
         boost::endian::load_little_u32(masks + 4) == 0x0000FF00u &&
         boost::endian::load_little_u32(masks + 8) == 0x000000FFu &&
         (alpha == 0 || (bitsPerPixel == 32 && alpha == 0xFF000000u));
}

// One-channel pixels are delivered as grey levels, which is only the
// picture when palette entry i is the grey level i.
bool PaletteIsGreyRamp(std::FILE* file, long paletteOffset, std::uint32_t entries) {
  if (entries == 0) entries = 256;
  if (entries > 256) return false;
  unsigned char palette[kPaletteBytes];
  if (!ReadAt(file, paletteOffset, palette, entries * 4)) return false;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const unsigned char* entry = palette + i * 4;
    if (entry[0] != i || entry[1] != i || entry[2] != i) return false;
  }
  return true;
}

}  // namespace

bool BmpFile::Open(const char* fileName, bool forReading) { return OpenOnce(fileName, forReading); }

void BmpFile::MakePalete() {
  if (palette) return;
  palette.reset(new unsigned char[kPaletteBytes]);
  // Entry i is i, i, i, i: the fourth byte repeats the grey level instead of
  // being 0, which is what existing files written by this class contain.
  for (std::size_t i = 0; i < 256; ++i) {
    std::memset(&palette[i * 4], static_cast<int>(i), 4);
  }
}

bool BmpFile::GetInfo() {
  if (!ok) return false;
  ok = false;
  std::rewind(file);
  unsigned char headers[kHeadersBytes];
  if (std::fread(headers, 1, kHeadersBytes, file) != kHeadersBytes) {
    return false;
  }
  const std::int32_t offsetField = boost::endian::load_little_s32(headers + 10);
  const std::uint32_t widthField = boost::endian::load_little_u32(headers + 18);
  const std::int32_t heightField = boost::endian::load_little_s32(headers + 22);
  const int bitsPerPixel = boost::endian::load_little_s16(headers + 28);
  const std::uint32_t infoBytes = boost::endian::load_little_u32(headers + 14);
  const std::uint32_t compression = boost::endian::load_little_u32(headers + 30);
  const std::uint32_t paletteEntries = boost::endian::load_little_u32(headers + 46);

  // -2^31 has no positive magnitude in 32 bits, and odd depths would make
  // the row arithmetic disagree with what the file stores.
  if (heightField == std::numeric_limits<std::int32_t>::min()) return false;
  if (!IsSupportedBitsPerPixel(bitsPerPixel)) return false;
  const std::uint32_t fileChannels = static_cast<std::uint32_t>(bitsPerPixel) / 8;
  const std::uint32_t fileHeight = heightField < 0 ? static_cast<std::uint32_t>(-heightField)
                                                   : static_cast<std::uint32_t>(heightField);
  // Callers size buffers from width * height (times their own channel
  // count) as well as from GetRawSize(), so both must stay in range even for
  // 1- and 4-bit files that report 0 channels.
  if (!CheckedImageElements(widthField, fileHeight, fileChannels == 0 ? 1 : fileChannels,
                            nullptr)) {
    return false;
  }

  // Compressed pixels read as bytes would be garbage reported as a picture.
  if (compression != kNoCompression &&
      !(compression == kBitFields && MasksAreBgrBytes(file, infoBytes, bitsPerPixel))) {
    return false;
  }
  // The palette follows the info header, also in files whose data offset
  // leaves it out.
  if (fileChannels == 1 &&
      !PaletteIsGreyRamp(file, 14 + static_cast<long>(infoBytes), paletteEntries)) {
    return false;
  }

  width = widthField;
  height = fileHeight;
  channels = fileChannels;
  flipped = heightField < 0;
  // Some writers put a 256-entry palette behind the headers of grey files
  // without counting it in the data offset.
  dataOffset =
      (channels == 1 && offsetField == kPlainDataOffset) ? kPalettedDataOffset : offsetField;
  ok = true;
  return true;
}

bool BmpFile::ReadFile(unsigned char* dst) {
  if (!ok) return false;
  if (dst == nullptr || dataOffset == 0) return false;
  ok = false;
  if (std::fseek(file, dataOffset, SEEK_SET) != 0) return false;

  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  const std::size_t fillBytes = PaddedRowBytes(rowBytes) - rowBytes;
  if (fillBytes == 0) {
    const std::size_t totalBytes = rowBytes * height;
    if (std::fread(dst, 1, totalBytes, file) != totalBytes) return false;
  } else {
    unsigned char fill[4];
    for (std::size_t row = 0; row < height; ++row) {
      if (std::fread(dst + row * rowBytes, 1, rowBytes, file) != rowBytes ||
          std::fread(fill, 1, fillBytes, file) != fillBytes) {
        return false;
      }
    }
  }
  ok = true;
  return true;
}

bool BmpFile::IsWritable(unsigned int imageWidth, unsigned int imageHeight,
                         unsigned int imageChannels) {
  // Sizes in 64 bits: the header stores them in 32-bit fields, and a file
  // whose fields wrapped would be short yet reported as written.
  constexpr std::uint64_t kMaxSigned = std::numeric_limits<std::int32_t>::max();
  constexpr std::uint64_t kMaxUnsigned = std::numeric_limits<std::uint32_t>::max();
  // Other channel counts would give depths no reader, this one included,
  // takes as pixels.
  if (imageWidth > kMaxSigned || imageHeight > kMaxSigned || imageChannels < 1 ||
      imageChannels > 4) {
    return false;
  }
  const std::uint64_t paddedRowBytes = PaddedRowBytes(std::uint64_t{imageWidth} * imageChannels);
  const std::uint64_t offset = imageChannels == 1 ? kPalettedDataOffset : kPlainDataOffset;
  return paddedRowBytes <= kMaxUnsigned && offset + paddedRowBytes * imageHeight <= kMaxUnsigned;
}

bool BmpFile::WriteFile(unsigned int imageWidth, unsigned int imageHeight,
                        unsigned int imageChannels, const unsigned char* data,
                        unsigned int stride) {
  if (!ok) return false;
  if (data == nullptr) return false;

  if (!IsWritable(imageWidth, imageHeight, imageChannels)) return false;
  const std::uint64_t bitsPerPixel = std::uint64_t{8} * imageChannels;
  const std::uint64_t rowBytes = std::uint64_t{imageWidth} * imageChannels;
  const std::uint64_t paddedRowBytes = PaddedRowBytes(rowBytes);
  const std::uint64_t imageBytes = paddedRowBytes * imageHeight;
  const std::uint64_t offset = imageChannels == 1 ? kPalettedDataOffset : kPlainDataOffset;

  ok = false;
  width = imageWidth;
  height = imageHeight;
  channels = imageChannels;
  MakePalete();

  unsigned char headers[kHeadersBytes] = {};
  headers[0] = 'B';
  headers[1] = 'M';
  boost::endian::store_little_u32(headers + 2, static_cast<std::uint32_t>(offset + imageBytes));
  boost::endian::store_little_u32(headers + 10, static_cast<std::uint32_t>(offset));
  boost::endian::store_little_u32(headers + 14, 40);
  boost::endian::store_little_s32(headers + 18, static_cast<std::int32_t>(imageWidth));
  boost::endian::store_little_s32(headers + 22, static_cast<std::int32_t>(imageHeight));
  boost::endian::store_little_u16(headers + 26, 1);
  boost::endian::store_little_u16(headers + 28, static_cast<std::uint16_t>(bitsPerPixel));
  boost::endian::store_little_u32(headers + 34, static_cast<std::uint32_t>(imageBytes));

  std::rewind(file);
  if (std::fwrite(headers, 1, kHeadersBytes, file) != kHeadersBytes) {
    return false;
  }
  if (imageChannels == 1 && std::fwrite(palette.get(), 1, kPaletteBytes, file) != kPaletteBytes) {
    return false;
  }

  const std::size_t fillBytes = paddedRowBytes - rowBytes;
  const std::size_t strideBytes = stride == 0 ? rowBytes : stride;
  if (strideBytes == rowBytes && fillBytes == 0) {
    const std::size_t totalBytes = rowBytes * imageHeight;
    if (std::fwrite(data, 1, totalBytes, file) != totalBytes) return false;
  } else {
    static const unsigned char kZeros[4] = {};
    for (std::size_t row = 0; row < imageHeight; ++row) {
      if (std::fwrite(data + row * strideBytes, 1, rowBytes, file) != rowBytes ||
          std::fwrite(kZeros, 1, fillBytes, file) != fillBytes) {
        return false;
      }
    }
  }
  // A full disk often shows only when the stream's buffer is flushed, which
  // would otherwise happen in the destructor where nobody sees the error.
  if (std::fflush(file) != 0) return false;
  ok = true;
  return true;
}

}  // namespace KVO
