// Feeds arbitrary bytes to JpegFile in memory mode, as a complete stream and
// as a headless stream decoded with a header the object makes itself.
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "imaging/JpegFile.h"

namespace {

void DecodeFromMemory(const std::uint8_t* data, std::size_t size, bool headless) {
  unsigned char* stream = const_cast<unsigned char*>(data);
  unsigned long length = size;
  KVO::JpegFile file;
  file.SetHeadless(headless);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DecodeFromMemory(data, size, false);
  DecodeFromMemory(data, size, true);
  return 0;
}
