#ifndef TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
#define TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace KVO {
namespace testing_support {

using Bytes = std::vector<unsigned char>;

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Deterministic, non-trivial pixel bytes (no two neighbouring rows equal).
inline Bytes Pattern(std::size_t size, unsigned seed = 1) {
  Bytes bytes(size);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<unsigned char>(state >> 24);
  }
  return bytes;
}

inline std::uint32_t LoadLE32(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::uint16_t LoadLE16(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// A fresh directory per test, removed afterwards, with the damage verbs
// used to turn a valid file into a malformed one.
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

  std::string Path(const std::string& name) const {
    return (std::filesystem::path(dir_) / name).string();
  }

 public:
  // Damage verbs; static so parameter tables can name them.
  static void TruncateBy(const std::string& path, std::size_t bytes) {
    const auto size = std::filesystem::file_size(path);
    ASSERT_LE(bytes, size);
    std::filesystem::resize_file(path, size - bytes);
  }
  static void OverwriteByte(const std::string& path, std::size_t offset, unsigned char value) {
    Bytes bytes = ReadAll(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] = value;
    WriteAll(path, bytes);
  }
  static void OverwriteLE32(const std::string& path, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
      OverwriteByte(path, offset + i, static_cast<unsigned char>(value >> (8 * i)));
    }
  }
  static void OverwriteLE16(const std::string& path, std::size_t offset, std::uint16_t value) {
    OverwriteByte(path, offset, static_cast<unsigned char>(value));
    OverwriteByte(path, offset + 1, static_cast<unsigned char>(value >> 8));
  }

 private:
  std::string dir_;
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
