// Feeds arbitrary bytes to the BMP reader: GetInfo, then ReadFile into a
// buffer of exactly GetRawSize() bytes.
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "imaging/BmpFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* stream = KVO::fuzz::OpenInput(data, size);
  if (stream == nullptr) return 0;
  KVO::BmpFile file;
  if (!file.OpenStream(stream)) {
    std::fclose(stream);
    return 0;
  }
  if (!file.GetInfo()) return 0;
  if (std::uint64_t{file.GetWidth()} * file.GetHeight() > KVO::fuzz::kMaxFuzzPixels) {
    return 0;
  }
  std::vector<unsigned char> pixels(file.GetRawSize());
  if (file.ReadFile(pixels.data())) {
    KVO::fuzz::TouchEveryByte(pixels.data(), pixels.size());
  }
  return 0;
}
