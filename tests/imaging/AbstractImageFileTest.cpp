#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "imaging/AbstractImageFile.h"
#include "imaging/BayerFile.h"
#include "imaging/BmpFile.h"
#include "imaging/ImageSize.h"
#include "imaging/JpegFile.h"

namespace KVO {
namespace {

struct GuessCase {
  const char* name;
  int format;
  int expected;
};

class GuessFormatTest : public ::testing::TestWithParam<GuessCase> {};

TEST_P(GuessFormatTest, AnswersTheFormatForTheName) {
  const GuessCase& c = GetParam();
  EXPECT_EQ(static_cast<int>(
                AbstractImageFile::GuessFormat(c.name, static_cast<ImageFileFormat>(c.format))),
            c.expected)
      << (c.name ? c.name : "(null)") << " with format " << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    Names, GuessFormatTest,
    ::testing::Values(GuessCase{"frame.bmp", 0, 1}, GuessCase{"frame.BMP", 0, 1},
                      GuessCase{"frame.jpg", 0, 2}, GuessCase{"frame.JPEG", 0, 2},
                      GuessCase{"frame.png", 0, 2},  // only the last character counts
                      GuessCase{"frame.raw", 0, 4}, GuessCase{"frame.RAW", 0, 4},
                      GuessCase{"frame.tif", 0, 1},
                      // Names of at most five characters are BMP whatever they end in.
                      GuessCase{"a.jpg", 0, 1}, GuessCase{"ab.jpg", 0, 2},
                      GuessCase{"aa.jpG", 0, 2}, GuessCase{"x.raw", 0, 1}, GuessCase{"", 0, 1},
                      GuessCase{nullptr, 0, 1},
                      // A format given explicitly wins, including ones without a class.
                      GuessCase{"frame.jpg", 1, 1}, GuessCase{"frame.bmp", 2, 2},
                      GuessCase{"frame.bmp", 3, 3}, GuessCase{"frame.bmp", 9, 9}));

TEST(GetImageObjectTest, MakesTheClassForEachFormat) {
  std::unique_ptr<AbstractImageFile> bmp(AbstractImageFile::GetImageObject(ImageFileFormat::Bmp));
  std::unique_ptr<AbstractImageFile> jpeg(AbstractImageFile::GetImageObject(ImageFileFormat::Jpeg));
  std::unique_ptr<AbstractImageFile> bayer(
      AbstractImageFile::GetImageObject(ImageFileFormat::BayerRaw));
  EXPECT_NE(dynamic_cast<BmpFile*>(bmp.get()), nullptr);
  EXPECT_NE(dynamic_cast<JpegFile*>(jpeg.get()), nullptr);
  EXPECT_NE(dynamic_cast<BayerFile*>(bayer.get()), nullptr);
  // New objects are unopened, so every step refuses.
  for (AbstractImageFile* object : {bmp.get(), jpeg.get(), bayer.get()}) {
    unsigned char pixel = 0;
    EXPECT_FALSE(object->IsOk());
    EXPECT_FALSE(object->ReadFile(&pixel));
    EXPECT_FALSE(object->WriteFile(1, 1, 1, &pixel, 0));
  }
}

TEST(GetImageObjectTest, AnswersNullForFormatsWithoutAClass) {
  for (int format : {0, 3, 5, -1, 1000}) {
    EXPECT_EQ(AbstractImageFile::GetImageObject(static_cast<ImageFileFormat>(format)), nullptr)
        << format;
  }
}

class CheckedImageElementsTest
    : public ::testing::TestWithParam<
          std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, bool>> {};

TEST_P(CheckedImageElementsTest, RefusesProductsBeyondTheLimit) {
  const auto [w, h, c, accepted] = GetParam();
  std::uint64_t elements = 12345;
  EXPECT_EQ(CheckedImageElements(w, h, c, &elements), accepted);
  EXPECT_EQ(elements, accepted ? w * h * c : 12345u);
}

INSTANTIATE_TEST_SUITE_P(
    Products, CheckedImageElementsTest,
    ::testing::Values(std::make_tuple(0u, 0xFFFFFFFFu, 0xFFFFFFFFu, true),
                      std::make_tuple(2147483647u, 1u, 1u, true),
                      std::make_tuple(2147483648u, 1u, 1u, false),
                      std::make_tuple(65536u, 32768u, 1u, false),  // exactly 2^31
                      std::make_tuple(46341u, 46341u, 1u, false),
                      std::make_tuple(1u, 715827882u, 3u, true),
                      std::make_tuple(1u, 715827883u, 3u, false),
                      // Factors that would wrap a 64-bit product if multiplied blindly.
                      std::make_tuple(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, false),
                      std::make_tuple(std::uint64_t{1} << 33, std::uint64_t{1} << 33,
                                      std::uint64_t{1} << 33, false)));

}  // namespace
}  // namespace KVO
