// Feeds arbitrary bytes to JpegFile in memory mode: as a complete stream, as
// a headless stream decoded with a header the object makes itself, and split
// into a header read from memory and the image stream after it (the first
// two bytes, big-endian, give the header's length).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "imaging/JpegFile.h"

namespace {

void Decode(KVO::JpegFile& file, const std::uint8_t* data, std::size_t size) {
  unsigned char* stream = const_cast<unsigned char*>(data);
  unsigned long length = size;
  file.SetJpegBuffer(&stream, &length);
  if (!file.GetInfo()) return;
  if (std::uint64_t{file.GetWidth()} * file.GetHeight() > KVO::fuzz::kMaxFuzzPixels) {
    return;
  }
  // Streams of other component counts are read as colour, which drives the
  // codec's colour conversions (and its refusals).
  if (file.GetChannels() != 1) file.SetChannels(3);
  std::vector<unsigned char> pixels(file.GetRawSize());
  if (file.ReadFromMemory(pixels.data())) {
    KVO::fuzz::TouchEveryByte(pixels.data(), pixels.size());
  }
}

void DecodeWithOwnHeader(const std::uint8_t* data, std::size_t size, bool headless) {
  KVO::JpegFile file;
  file.SetHeadless(headless);
  Decode(file, data, size);
}

void DecodeWithHeaderFromInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::size_t headerBytes = std::min<std::size_t>(size - 2, data[0] << 8 | data[1]);
  KVO::JpegFile file;
  file.ReadHeaderFromMemory(const_cast<std::uint8_t*>(data + 2), headerBytes);
  Decode(file, data + 2 + headerBytes, size - 2 - headerBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DecodeWithOwnHeader(data, size, false);
  DecodeWithOwnHeader(data, size, true);
  DecodeWithHeaderFromInput(data, size);
  return 0;
}
