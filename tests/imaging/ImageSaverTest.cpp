#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "imaging/ImageLoader.h"
#include "imaging/ImageSaver.h"
#include "imaging/UserDataImageBuffer.h"
#include "tests/imaging/ImageTestFiles.h"

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using KVO::ImageSaver;
using testfiles::Bytes;

constexpr int kWidth = 35;
constexpr int kHeight = 39;

bool IsBmp(const Bytes& file) { return file.size() > 2 && file[0] == 'B' && file[1] == 'M'; }
bool IsJpeg(const Bytes& file) { return file.size() > 2 && file[0] == 0xFF && file[1] == 0xD8; }

class ImageSaverTest : public ::testing::Test {
 protected:
  Bytes LoadAsFile(const std::string& path, unsigned int& channels) {
    unsigned int width = 0, height = 0;
    Bytes pixels(kWidth * kHeight * 4);
    EXPECT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, pixels.size(),
                                          pixels.data(), DesiredChannelsEnum::AsFile,
                                          ImageFileFormat::Auto));
    pixels.resize(std::size_t{width} * height * channels);
    return pixels;
  }

  // An existing file that a refused save must leave as it is.
  std::string Existing(const std::string& name) {
    const std::string path = dir.Path(name);
    testfiles::WriteWholeFile(path, original);
    return path;
  }

  testfiles::TempDir dir;
  KVO::ImageLoader loader;
  const Bytes original{'k', 'e', 'e', 'p'};
};

// Channels x format: a save read back gives the same picture (BMP exactly,
// JPEG within its loss).
class SaveRoundTripTest : public ImageSaverTest,
                          public ::testing::WithParamInterface<std::tuple<int, ImageFileFormat>> {};

TEST_P(SaveRoundTripTest, ReadsBackTheSamePicture) {
  const int channels = std::get<0>(GetParam());
  const ImageFileFormat format = std::get<1>(GetParam());
  const Bytes picture = testfiles::MakePicture(kWidth, kHeight, channels);
  const std::string path = dir.Path("out.dat");
  ASSERT_TRUE(ImageSaver::Save(path.c_str(), kWidth, kHeight, channels, picture.data(), format, 0));
  const Bytes file = testfiles::ReadWholeFile(path);
  unsigned int loaded = 0;
  unsigned int width = 0, height = 0;
  Bytes pixels(picture.size());
  ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, loaded, pixels.size(),
                                        pixels.data(), DesiredChannelsEnum::AsFile, format));
  EXPECT_EQ(static_cast<unsigned>(channels), loaded);
  if (format == ImageFileFormat::Bmp) {
    EXPECT_TRUE(IsBmp(file));
    EXPECT_EQ(picture, pixels);
  } else {
    EXPECT_TRUE(IsJpeg(file));
    EXPECT_LT(testfiles::MeanAbsDiff(picture, pixels), 4.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Bmp, SaveRoundTripTest,
                         ::testing::Combine(::testing::Values(1, 3, 4),
                                            ::testing::Values(ImageFileFormat::Bmp)));
INSTANTIATE_TEST_SUITE_P(Jpeg, SaveRoundTripTest,
                         ::testing::Combine(::testing::Values(1, 3),
                                            ::testing::Values(ImageFileFormat::Jpeg)));

TEST_F(ImageSaverTest, AutoFormatFollowsTheName) {
  const Bytes picture = testfiles::MakePicture(4, 4, 3);
  const std::string bmp = dir.Path("a.bmp");
  const std::string jpg = dir.Path("picture.jpg");
  const std::string shortName = dir.Root() + "b.jpg";
  ASSERT_TRUE(ImageSaver::Save(bmp.c_str(), 4, 4, 3, picture.data(), ImageFileFormat::Auto, 0));
  ASSERT_TRUE(ImageSaver::Save(jpg.c_str(), 4, 4, 3, picture.data(), ImageFileFormat::Auto, 0));
  EXPECT_TRUE(IsBmp(testfiles::ReadWholeFile(bmp)));
  EXPECT_TRUE(IsJpeg(testfiles::ReadWholeFile(jpg)));
  // The full path is what is measured, so this name is long enough.
  ASSERT_TRUE(
      ImageSaver::Save(shortName.c_str(), 4, 4, 3, picture.data(), ImageFileFormat::Auto, 0));
  EXPECT_TRUE(IsJpeg(testfiles::ReadWholeFile(shortName)));
}

TEST_F(ImageSaverTest, SaveBitmapWritesBmpWhateverTheName) {
  const Bytes picture = testfiles::MakePicture(5, 3, 3);
  const std::string path = dir.Path("looks.jpg");
  ImageSaver saver;
  KVO::ImageSaverInterface& face = saver;
  ASSERT_TRUE(face.SaveBitmap(path.c_str(), 5, 3, 3, picture.data()));
  EXPECT_TRUE(IsBmp(testfiles::ReadWholeFile(path)));
  const std::string other = dir.Path("other.jpg");
  ASSERT_TRUE(ImageSaver::StaticSaveBitmap(other.c_str(), 5, 3, 3, picture.data()));
  EXPECT_EQ(testfiles::ReadWholeFile(path), testfiles::ReadWholeFile(other));
}

TEST_F(ImageSaverTest, FormatWithoutAClassCreatesNoFile) {
  const Bytes picture = testfiles::MakePicture(4, 4, 3);
  const std::string path = dir.Path("three.bmp");
  EXPECT_FALSE(
      ImageSaver::Save(path.c_str(), 4, 4, 3, picture.data(), static_cast<ImageFileFormat>(3), 0));
  EXPECT_FALSE(
      ImageSaver::Save(path.c_str(), 4, 4, 3, picture.data(), static_cast<ImageFileFormat>(7), 0));
  EXPECT_FALSE(testfiles::Exists(path));
}

TEST_F(ImageSaverTest, RefusedSavesLeaveAnExistingFileUnchanged) {
  const Bytes picture = testfiles::MakePicture(4, 4, 4);
  const std::string path = Existing("keep.jpg");
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 4, 4, 3, nullptr, ImageFileFormat::Bmp, 0));
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 4, 4, 2, picture.data(), ImageFileFormat::Jpeg, 0));
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 4, 4, 4, picture.data(), ImageFileFormat::Jpeg, 0));
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 0, 4, 3, picture.data(), ImageFileFormat::Jpeg, 0));
  EXPECT_FALSE(
      ImageSaver::Save(path.c_str(), 65501, 1, 1, picture.data(), ImageFileFormat::Jpeg, 0));
  EXPECT_FALSE(
      ImageSaver::Save(path.c_str(), 4, 4, 1, picture.data(), ImageFileFormat::BayerRaw, 0));
  // A BMP whose size fields would wrap at 32 bits.
  EXPECT_FALSE(
      ImageSaver::Save(path.c_str(), 70000, 70000, 1, picture.data(), ImageFileFormat::Bmp, 0));
  EXPECT_EQ(original, testfiles::ReadWholeFile(path));
}

TEST_F(ImageSaverTest, EmptyRawBayerSaveWritesAnEmptyFile) {
  const std::string path = Existing("empty.raw");
  const unsigned char pixel = 0;
  EXPECT_TRUE(ImageSaver::Save(path.c_str(), 0, 0, 0, &pixel, ImageFileFormat::Auto, 0));
  EXPECT_TRUE(testfiles::ReadWholeFile(path).empty());
}

// A strided view saves the view's pixels only, in either format.
class StridedSaveTest : public ImageSaverTest,
                        public ::testing::WithParamInterface<ImageFileFormat> {};

TEST_P(StridedSaveTest, StrideIsHonoured) {
  const ImageFileFormat format = GetParam();
  const Bytes picture = testfiles::MakePicture(kWidth, kHeight, 3);
  const int stride = kWidth * 3 + 13;
  Bytes strided(static_cast<std::size_t>(stride) * kHeight, 0xFF);
  for (int y = 0; y < kHeight; ++y) {
    std::copy_n(picture.begin() + y * kWidth * 3, kWidth * 3, strided.begin() + y * stride);
  }
  const std::string packedPath = dir.Path("packed.out");
  const std::string stridedPath = dir.Path("strided.out");
  ASSERT_TRUE(ImageSaver::Save(packedPath.c_str(), kWidth, kHeight, 3, picture.data(), format, 0));
  ASSERT_TRUE(
      ImageSaver::Save(stridedPath.c_str(), kWidth, kHeight, 3, strided.data(), format, stride));
  // The same encoder on the same pixels writes the same bytes.
  EXPECT_EQ(testfiles::ReadWholeFile(packedPath), testfiles::ReadWholeFile(stridedPath));

  KVO::UserDataGenericBuffer<unsigned char> view(kWidth, kHeight, 3, false);
  view.Reset(kWidth, kHeight, 3, strided.data(), stride);
  const std::string viewPath = dir.Path("view.out");
  ASSERT_TRUE(ImageSaver::Save(viewPath.c_str(), view, format));
  EXPECT_EQ(testfiles::ReadWholeFile(packedPath), testfiles::ReadWholeFile(viewPath));
}

INSTANTIATE_TEST_SUITE_P(Formats, StridedSaveTest,
                         ::testing::Values(ImageFileFormat::Bmp, ImageFileFormat::Jpeg));

TEST_F(ImageSaverTest, SaveBitmapOfAnImageTakesItsRowsPacked) {
  const Bytes memory = testfiles::MakePicture(8, 4, 3);
  KVO::UserDataGenericBuffer<unsigned char> view(4, 4, 3, false);
  view.Reset(4, 4, 3, const_cast<unsigned char*>(memory.data()), 24);
  const std::string path = dir.Path("packed.bmp");
  ImageSaver saver;
  ASSERT_TRUE(saver.SaveBitmap(path.c_str(), view));
  unsigned int channels = 0;
  const Bytes pixels = LoadAsFile(path, channels);
  EXPECT_EQ(Bytes(memory.begin(), memory.begin() + 4 * 4 * 3), pixels);
}

}  // namespace
