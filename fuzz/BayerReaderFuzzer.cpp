// Feeds arbitrary bytes to the raw Bayer reader. Its only format check is
// the exact file size, so the input is also repeated to that size to reach
// ReadFile, and read with LoadFile under a geometry taken from its first
// bytes.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "imaging/BayerFile.h"

namespace {

void ReadWithInfo(const std::uint8_t* data, std::size_t size) {
  std::FILE* stream = KVO::fuzz::OpenInput(data, size);
  if (stream == nullptr) return;
  KVO::BayerFile file;
  file.OpenStream(stream);
  if (!file.GetInfo()) return;
  static std::vector<unsigned char> pixels;
  pixels.resize(file.GetRawSize());
  if (file.ReadFile(pixels.data())) {
    KVO::fuzz::TouchEveryByte(pixels.data(), pixels.size());
  }
}

void ReadWithLoadFile(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const unsigned width = data[0] + 1u;
  const unsigned height = data[1] + 1u;
  const unsigned channels = data[2] % 5u;
  KVO::fuzz::MemoryFile input(data + 3, size - 3);
  if (!input.IsOpen()) return;
  std::vector<unsigned char> pixels(std::size_t{width} * height * channels);
  if (KVO::BayerFile::LoadFile(input.Path(), pixels.data(), width, height, channels)) {
    KVO::fuzz::TouchEveryByte(pixels.data(), pixels.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReadWithInfo(data, size);
  ReadWithLoadFile(data, size);
  // Full-size files are costly (9 MB each), so only one input in eight
  // takes that path; the buffer is kept between runs.
  if (size > 0 && (data[0] & 7) == 7) {
    static std::vector<std::uint8_t> full(static_cast<std::size_t>(KVO::BayerFile::kFileBytes));
    for (std::size_t offset = 0; offset < full.size(); offset += size) {
      std::copy_n(data, std::min(size, full.size() - offset), full.begin() + offset);
    }
    ReadWithInfo(full.data(), full.size());
  }
  return 0;
}
