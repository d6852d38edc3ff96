#include "tests/imaging/ImageTestFiles.h"

#include <boost/filesystem/operations.hpp>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testfiles {

namespace {
void PutLe(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back((value >> (8 * i)) & 0xFF);
}
}  // namespace

TempDir::TempDir()
    : root(boost::filesystem::temp_directory_path() /
           boost::filesystem::unique_path("tolvenix-%%%%-%%%%-%%%%")) {
  boost::filesystem::create_directories(root);
}

TempDir::~TempDir() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(root, ignored);
}

std::string TempDir::Path(const std::string& name) const { return (root / name).string(); }

std::string TempDir::Root() const { return root.string() + "/"; }

Bytes MakePicture(int width, int height, int channels, int seed) {
  Bytes pixels(static_cast<std::size_t>(width) * height * channels);
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        // A triangle wave: no jumps, so JPEG keeps it close.
        const int t = (x * 3 + y * 5 + c * 40 + seed * 17) % 400;
        pixels[i++] = static_cast<unsigned char>((t < 200 ? t : 399 - t) + 28);
      }
    }
  }
  return pixels;
}

void WriteBmp(const std::string& path, int width, int height, int channels,
              const Bytes& bottomUpPixels, bool topDown, int bitsPerPixel) {
  const std::uint32_t rowBytes = width * channels;
  const std::uint32_t padded = (rowBytes + 3) / 4 * 4;
  const std::uint32_t offset = channels == 1 ? 1078 : 54;
  Bytes file = {'B', 'M'};
  PutLe(file, offset + padded * height, 4);
  PutLe(file, 0, 4);
  PutLe(file, offset, 4);
  PutLe(file, 40, 4);
  PutLe(file, width, 4);
  PutLe(file, static_cast<std::uint32_t>(topDown ? -height : height), 4);
  PutLe(file, 1, 2);
  PutLe(file, bitsPerPixel ? bitsPerPixel : 8 * channels, 2);
  PutLe(file, 0, 4);
  PutLe(file, padded * height, 4);
  for (int i = 0; i < 4; ++i) PutLe(file, 0, 4);
  if (channels == 1) {
    for (int i = 0; i < 256; ++i) PutLe(file, i * 0x01010101u, 4);
  }
  for (int r = 0; r < height; ++r) {
    const int row = topDown ? height - 1 - r : r;
    auto first = bottomUpPixels.begin() + static_cast<std::size_t>(row) * rowBytes;
    file.insert(file.end(), first, first + rowBytes);
    file.insert(file.end(), padded - rowBytes, 0);
  }
  WriteWholeFile(path, file);
}

Bytes Convert(const Bytes& pixels, int width, int height, int from, int to) {
  if (from == to) return pixels;
  const std::size_t count = static_cast<std::size_t>(width) * height;
  Bytes out(count * to, 0);  // a fourth channel stays 0
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* s = &pixels[i * from];
    if (to == 1) out[i] = static_cast<unsigned char>((s[0] + s[1] + s[2]) / 3);
    for (int c = 0; to != 1 && c < 3; ++c) out[i * to + c] = s[from == 1 ? 0 : c];
  }
  return out;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) { return boost::filesystem::exists(path); }

double MeanAbsDiff(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sum += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
  }
  return sum / static_cast<double>(a.size());
}

}  // namespace testfiles
