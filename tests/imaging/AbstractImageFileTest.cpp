#include <gtest/gtest.h>

#include <memory>

#include "imaging/AbstractImageFile.h"
#include "imaging/BayerFile.h"
#include "imaging/BmpFile.h"
#include "imaging/ImageSize.h"
#include "imaging/JpegFile.h"

namespace KVO {
namespace {

TEST(GuessFormatTest, AnswersTheFormatForTheName) {
  struct Case {
    const char* name;
    int format, expected;
  } cases[] = {{"frame.bmp", 0, 1},
               {"frame.JPEG", 0, 2},
               {"frame.jpg", 0, 2},
               {"frame.png", 0, 2},  // only the last character counts
               {"frame.RAW", 0, 4},
               {"frame.raw", 0, 4},
               {"frame.tif", 0, 1},
               // Names of at most five characters are BMP whatever they end in.
               {"a.jpg", 0, 1},
               {"aa.jpG", 0, 2},
               {"x.raw", 0, 1},
               {"", 0, 1},
               {nullptr, 0, 1},
               // A format given explicitly wins, including ones without a class.
               {"frame.jpg", 1, 1},
               {"frame.bmp", 2, 2},
               {"frame.bmp", 3, 3},
               {"frame.bmp", 9, 9}};
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(
                  AbstractImageFile::GuessFormat(c.name, static_cast<ImageFileFormat>(c.format))),
              c.expected)
        << (c.name ? c.name : "(null)") << " with format " << c.format;
  }
}

TEST(GetImageObjectTest, MakesAnUnopenedObjectOfTheClassForEachFormat) {
  std::unique_ptr<AbstractImageFile> bmp(AbstractImageFile::GetImageObject(ImageFileFormat::Bmp));
  std::unique_ptr<AbstractImageFile> jpeg(AbstractImageFile::GetImageObject(ImageFileFormat::Jpeg));
  std::unique_ptr<AbstractImageFile> bayer(
      AbstractImageFile::GetImageObject(ImageFileFormat::BayerRaw));
  EXPECT_NE(dynamic_cast<BmpFile*>(bmp.get()), nullptr);
  EXPECT_NE(dynamic_cast<JpegFile*>(jpeg.get()), nullptr);
  EXPECT_NE(dynamic_cast<BayerFile*>(bayer.get()), nullptr);
  for (AbstractImageFile* object : {bmp.get(), jpeg.get(), bayer.get()}) {
    unsigned char pixel = 0;
    EXPECT_FALSE(object->IsOk());
    EXPECT_FALSE(object->ReadFile(&pixel));
    EXPECT_FALSE(object->WriteFile(1, 1, 1, &pixel, 0));
  }
  for (int format : {0, 3, 5, -1, 1000}) {
    EXPECT_EQ(AbstractImageFile::GetImageObject(static_cast<ImageFileFormat>(format)), nullptr)
        << format;
  }
}

TEST(CheckedImageElementsTest, RefusesProductsBeyondTheLimit) {
  constexpr std::uint64_t k33 = std::uint64_t{1} << 33;
  struct Case {
    std::uint64_t w, h, c;
    bool accepted;
  } cases[] = {{0, 0xFFFFFFFFu, 0xFFFFFFFFu, true},
               {2147483647u, 1, 1, true},
               {2147483648u, 1, 1, false},
               {65536, 32768, 1, false},  // exactly 2^31
               {46341, 46341, 1, false},
               {1, 715827882u, 3, true},
               {1, 715827883u, 3, false},
               // Factors that would wrap a 64-bit product if multiplied blindly.
               {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, false},
               {k33, k33, k33, false}};
  for (const Case& c : cases) {
    std::uint64_t elements = 12345;
    EXPECT_EQ(CheckedImageElements(c.w, c.h, c.c, &elements), c.accepted) << c.w << "x" << c.h;
    EXPECT_EQ(elements, c.accepted ? c.w * c.h * c.c : 12345u);
  }
}

}  // namespace
}  // namespace KVO
