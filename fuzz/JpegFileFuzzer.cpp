// Feeds arbitrary bytes to the JPEG readers that work on files: JpegFile on
// an open stream, and the static GetJPEGInfo and ReadJPEG by path.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"

namespace {

void DecodeFileObject(const std::uint8_t* data, std::size_t size) {
  std::FILE* stream = KVO::fuzz::OpenInput(data, size);
  if (stream == nullptr) return;
  KVO::JpegFile file;
  file.OpenStream(stream);
  if (!file.GetInfo()) return;
  if (std::uint64_t{file.GetWidth()} * file.GetHeight() > KVO::fuzz::kMaxFuzzPixels) {
    return;
  }
  if (file.GetChannels() != 1) file.SetChannels(3);
  std::vector<unsigned char> pixels(file.GetRawSize());
  if (file.ReadFile(pixels.data())) {
    KVO::fuzz::TouchEveryByte(pixels.data(), pixels.size());
  }
}

void DecodeByName(const std::uint8_t* data, std::size_t size) {
  KVO::fuzz::MemoryFile input(data, size);
  if (!input.IsOpen()) return;
  int width = 0, height = 0, components = 0;
  if (!KVO::JPEGTurbo::GetJPEGInfo(input.Path(), &width, &height, &components)) {
    return;
  }
  if (std::uint64_t(width) * std::uint64_t(height) > KVO::fuzz::kMaxFuzzPixels) {
    return;
  }
  unsigned char* pixels = KVO::JPEGTurbo::ReadJPEG(input.Path(), nullptr, nullptr);
  if (pixels != nullptr) {
    KVO::fuzz::TouchEveryByte(pixels, std::size_t(width) * std::size_t(height) * components);
    std::free(pixels);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DecodeFileObject(data, size);
  DecodeByName(data, size);
  return 0;
}
