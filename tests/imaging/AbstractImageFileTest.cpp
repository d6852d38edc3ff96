#include <memory>

#include <gtest/gtest.h>

#include "imaging/AbstractImageFile.h"
#include "imaging/BayerFile.h"
#include "imaging/BmpFile.h"
#include "imaging/ImageSize.h"
#include "imaging/JpegFile.h"

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

// Each row of the factory makes its own class; a swapped or missing row
// would hand the loader and the saver the wrong reader or writer.
TEST(GetImageObjectTest, MakesAnUnopenedObjectOfTheClassForEachFormat) {
  std::unique_ptr<AbstractImageFile> bmp(AbstractImageFile::GetImageObject(ImageFileFormat::Bmp));
  std::unique_ptr<AbstractImageFile> jpeg(AbstractImageFile::GetImageObject(ImageFileFormat::Jpeg));
  std::unique_ptr<AbstractImageFile> bayer(
      AbstractImageFile::GetImageObject(ImageFileFormat::BayerRaw));
  EXPECT_NE(dynamic_cast<BmpFile*>(bmp.get()), nullptr);
  EXPECT_NE(dynamic_cast<JpegFile*>(jpeg.get()), nullptr);
  EXPECT_NE(dynamic_cast<BayerFile*>(bayer.get()), nullptr);
  // Unopened, so every step refuses.
  for (AbstractImageFile* object : {bmp.get(), jpeg.get(), bayer.get()}) {
    unsigned char pixel = 0;
    EXPECT_FALSE(object->IsOk());
    EXPECT_FALSE(object->GetInfo());
    EXPECT_FALSE(object->ReadFile(&pixel));
    EXPECT_FALSE(object->WriteFile(1, 1, 1, &pixel, 0));
  }
  for (int format : {0, 3, 5, -1, 1000}) {
    EXPECT_EQ(AbstractImageFile::GetImageObject(static_cast<ImageFileFormat>(format)), nullptr)
        << format;
    EXPECT_EQ(FindImageFileFormat(static_cast<ImageFileFormat>(format)), nullptr) << format;
  }
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
  check(46341, 46341, 1, false);  // the smallest square beyond the limit
  check(1, 715827882u, 3, true);
  check(1, 715827883u, 3, false);
  // Factors that would wrap a 64-bit product if multiplied blindly.
  check(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, false);
  check(std::uint64_t{1} << 33, std::uint64_t{1} << 33, std::uint64_t{1} << 33, false);
}

}  // namespace
}  // namespace KVO
