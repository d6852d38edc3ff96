#include <memory>

#include <gtest/gtest.h>

#include "imaging/AbstractImageFile.h"
#include "imaging/ImageSize.h"

namespace KVO {
namespace {

TEST(GuessFormatTest, AnswersTheFormatForTheName) {
  const auto guess = [](const char* name, int format) {
    return static_cast<int>(
        AbstractImageFile::GuessFormat(name, static_cast<ImageFileFormat>(format)));
  };
  // Only the last character counts; names of at most five characters are BMP.
  for (const char* name :
       {"frame.bmp", "frame.tif", "a.jpg", "x.raw", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(guess(name, 0), 1) << (name ? name : "(null)");
  }
  for (const char* name : {"frame.jpg", "frame.JPEG", "frame.png", "aa.jpG"}) {
    EXPECT_EQ(guess(name, 0), 2) << name;
  }
  for (const char* name : {"frame.raw", "frame.RAW"}) EXPECT_EQ(guess(name, 0), 4) << name;
  // A format given explicitly wins, including ones without a class.
  for (int format : {1, 2, 3, 9}) EXPECT_EQ(guess("frame.raw", format), format);
}

TEST(CheckedImageElementsTest, RefusesProductsBeyondTheLimit) {
  const auto check = [](std::uint64_t w, std::uint64_t h, std::uint64_t c, bool accepted) {
    std::uint64_t elements = 12345;
    EXPECT_EQ(CheckedImageElements(w, h, c, &elements), accepted) << w << "x" << h << "x" << c;
    EXPECT_EQ(elements, accepted ? w * h * c : 12345u);
  };
  check(0, 0xFFFFFFFFu, 0xFFFFFFFFu, true);
  check(2147483647u, 1, 1, true);
  check(2147483648u, 1, 1, false);
  check(65536, 32768, 1, false);  // exactly 2^31
  check(1, 715827882u, 3, true);
  check(1, 715827883u, 3, false);
  // Factors that would wrap a 64-bit product if multiplied blindly.
  check(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, false);
  check(std::uint64_t{1} << 33, std::uint64_t{1} << 33, std::uint64_t{1} << 33, false);
}

}  // namespace
}  // namespace KVO
