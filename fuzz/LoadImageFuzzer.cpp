// Fuzzes UTIL_LoadImageToBuffer over the file formats. Input: one byte that
// picks the format and the file name's suffix, one byte for the desired
// channel count, then the file's bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TolvenixUtilities.h"

namespace {

// Names ending in each suffix, so that format 0 guesses every class too.
const char* const kSuffixes[] = {".bmp", ".jpg", ".raw", ".dat"};
constexpr std::uint64_t kMaxPixels = 1u << 20;

std::string TempName(const char* suffix) {
  return "/tmp/tolvenix-fuzz-" + std::to_string(getpid()) + suffix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int format = data[0] % 6;  // 0 to 5: every class and two without one
  const char* suffix = kSuffixes[(data[0] / 6) % 4];
  const int desired = data[1] % 6;  // 5 is out of range on purpose
  const std::string path = TempName(suffix);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data + 2, 1, size - 2, file);
  std::fclose(file);

  unsigned int width = 0, height = 0, channels = 0;
  UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels, 0, nullptr, desired, format);
  // The harness, not the library, skips pictures too large to be worth it.
  if (std::uint64_t{width} * height <= kMaxPixels) {
    std::vector<unsigned char> buffer(std::uint64_t{width} * height * 4 + 1);
    if (UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels,
                               static_cast<unsigned int>(buffer.size()), buffer.data(), desired,
                               format)) {
      // Touch every byte the load claims to have written.
      volatile unsigned int sum = 0;
      const std::uint64_t bytes = std::uint64_t{width} * height * channels;
      for (std::uint64_t i = 0; i < bytes && i < buffer.size(); ++i) {
        sum = sum + buffer[i];
      }
    }
  }
  std::remove(path.c_str());
  return 0;
}
