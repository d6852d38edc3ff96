#ifndef TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
#define TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "imaging/AbstractImageFile.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace KVO {
namespace testing_support {

using testsupport::Bytes;

// The file classes' fixture: a scratch folder, files named within it, and
// the damage verbs, each asserting that the damage could be done.
class ImageFileTest : public testsupport::TempDirTest {
 protected:
  Bytes ReadAll(const std::string& name) const { return testsupport::ReadWholeFile(Path(name)); }
  void WriteAll(const std::string& name, const Bytes& bytes) const {
    ASSERT_TRUE(testsupport::WriteWholeFile(Path(name), bytes));
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

  // Runs `call` with stderr captured (the codec prints there); answers it.
  template <typename Call>
  static std::string Quietly(Call&& call) {
    ::testing::internal::CaptureStderr();
    call();
    return ::testing::internal::GetCapturedStderr();
  }

  void TruncateTo(const std::string& name, std::uintmax_t size) {
    ASSERT_TRUE(testsupport::TruncateTo(Path(name), size));
  }
  void Overwrite(const std::string& name, std::size_t offset, std::uint32_t value, int width) {
    ASSERT_TRUE(testsupport::OverwriteLe(Path(name), offset, value, width));
  }
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
