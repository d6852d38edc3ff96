#ifndef TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
#define TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "imaging/AbstractImageFile.h"

namespace KVO {
namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A fresh directory per test, removed afterwards, with the helpers and
// damage verbs the file tests share.
class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tolvenix-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  Bytes ReadAll(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void WriteAll(const std::string& name, const Bytes& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  // Open for reading, GetInfo, then ReadFile into exactly GetRawSize() bytes
  // (so ASan reports any write beyond); answers whether every step passed.
  bool ReadBack(AbstractImageFile& file, const std::string& name, Bytes* pixels = nullptr) {
    Bytes scratch;
    if (pixels == nullptr) pixels = &scratch;
    if (!file.Open(Path(name).c_str(), true) || !file.GetInfo()) return false;
    pixels->assign(file.GetRawSize(), 0);
    return file.ReadFile(pixels->data());
  }

  // Damage verbs.
  void TruncateTo(const std::string& name, std::uintmax_t size) {
    ASSERT_LE(size, std::filesystem::file_size(Path(name)));
    std::filesystem::resize_file(Path(name), size);
  }
  // Stores value little-endian in width bytes at offset.
  void Overwrite(const std::string& name, std::size_t offset, std::uint32_t value, int width) {
    Bytes bytes = ReadAll(name);
    ASSERT_LE(offset + width, bytes.size());
    for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> 8 * i);
    WriteAll(name, bytes);
  }

  // Deterministic, non-trivial pixel bytes (no two neighbouring rows equal).
  static Bytes Pattern(std::size_t size, unsigned seed = 1) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : bytes) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
  }

  // JPEG output varies with the codec's version, so JPEG pictures are two
  // flat bands (B, G, R; grey uses the first byte) compared within a
  // tolerance. The first rows in memory have the first colour, or the
  // second when the rows are top-down.
  static constexpr int kJpegTolerance = 12;
  static Bytes TwoBands(unsigned width, unsigned height, unsigned channels, bool topDown = false) {
    static constexpr unsigned char kColour[2][3] = {{200, 40, 30}, {20, 180, 220}};
    Bytes picture(std::size_t{width} * height * channels);
    for (std::size_t i = 0; i < picture.size(); ++i) {
      const std::size_t row = i / (std::size_t{width} * channels);
      picture[i] = kColour[(row >= height / 2) != topDown][i % channels];
    }
    return picture;
  }
  // Largest difference outside the middle half of the rows (every row of a
  // picture under 4 rows high): chroma upsampling blurs the band edge, the
  // rest is flat. 256 when the sizes differ.
  static int MaxBandDifference(const Bytes& a, const Bytes& b, std::size_t rowBytes) {
    if (a.size() != b.size() || a.empty()) return 256;
    const std::size_t height = a.size() / rowBytes;
    const std::size_t quarter = std::max<std::size_t>(height / 4, 1);
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i / rowBytes < quarter || i / rowBytes >= height - quarter) {
        worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
      }
    }
    return worst;
  }

 private:
  std::string dir_;
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
