#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "imaging/ImageLoader.h"
#include "imaging/ImageSaver.h"
#include "imaging/UserDataImageBuffer.h"
#include "tests/imaging/ImageTestFiles.h"

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using testfiles::Bytes;

constexpr int kWidth = 35;  // odd, so BMP rows need fill bytes
constexpr int kHeight = 39;

enum class Source { BmpBottomUp, BmpTopDown, Jpeg };

std::string SourceName(Source source) {
  switch (source) {
    case Source::BmpBottomUp:
      return "BmpBottomUp";
    case Source::BmpTopDown:
      return "BmpTopDown";
    default:
      return "Jpeg";
  }
}

unsigned int Resolve(unsigned int desired, unsigned int fileChannels) {
  if (desired == 0) return fileChannels;
  if (desired == 2) return fileChannels == 1 ? 1 : 4;
  return desired;
}

// Source x file channels x desired channels: every load must give the
// picture bottom-up with the resolved channel count.
class SingleLoadTest : public ::testing::TestWithParam<std::tuple<Source, int, unsigned int>> {
 protected:
  void SetUp() override {
    std::tie(source, fileChannels, desired) = GetParam();
    picture = testfiles::MakePicture(kWidth, kHeight, fileChannels);
    if (source == Source::Jpeg) {
      path = dir.Path("picture.jpg");
      ASSERT_TRUE(KVO::ImageSaver::Save(path.c_str(), kWidth, kHeight, fileChannels, picture.data(),
                                        ImageFileFormat::Jpeg, 0));
    } else {
      path = dir.Path("picture.bmp");
      testfiles::WriteBmp(path, kWidth, kHeight, fileChannels, picture,
                          source == Source::BmpTopDown);
    }
    wanted = Resolve(desired, fileChannels);
    expected = testfiles::Convert(picture, kWidth, kHeight, fileChannels, static_cast<int>(wanted));
  }

  void ExpectPixels(const unsigned char* pixels) const {
    Bytes got(pixels, pixels + expected.size());
    if (source == Source::Jpeg) {
      EXPECT_LT(testfiles::MeanAbsDiff(got, expected), 4.0);
    } else {
      EXPECT_EQ(expected, got);
    }
  }

  testfiles::TempDir dir;
  Source source;
  int fileChannels;
  unsigned int desired;
  unsigned int wanted;
  std::string path;
  Bytes picture;
  Bytes expected;
  KVO::ImageLoader loader;
};

TEST_P(SingleLoadTest, LoadSingleInBufferDeliversBottomUpRows) {
  Bytes buffer(expected.size() + 7, 0xEE);
  unsigned int width = 0, height = 0, channels = 0;
  ASSERT_TRUE(loader.LoadSingleInBuffer(
      path.c_str(), width, height, channels, static_cast<unsigned int>(buffer.size()),
      buffer.data(), static_cast<DesiredChannelsEnum>(desired), ImageFileFormat::Auto));
  EXPECT_EQ(kWidth, static_cast<int>(width));
  EXPECT_EQ(kHeight, static_cast<int>(height));
  EXPECT_EQ(wanted, channels);
  ExpectPixels(buffer.data());
  // Nothing is written past the image.
  EXPECT_EQ(0xEE, buffer[expected.size()]);
  if (source == Source::Jpeg && wanted == 4) {
    for (std::size_t i = 3; i < expected.size(); i += 4) {
      ASSERT_EQ(0, buffer[i]);
    }
  }
}

TEST_P(SingleLoadTest, LoadSingleAndReallocableAgreeWithBuffer) {
  unsigned int width = 0, height = 0, channels = 0;
  std::unique_ptr<unsigned char[]> single =
      loader.LoadSingle(path.c_str(), width, height, channels,
                        static_cast<DesiredChannelsEnum>(desired), ImageFileFormat::Auto);
  ASSERT_TRUE(single);
  EXPECT_EQ(wanted, channels);
  ExpectPixels(single.get());

  std::unique_ptr<unsigned char[]> array;
  unsigned int capacity = 0;
  long timestamp = 0;
  ASSERT_TRUE(loader.LoadSingleInReallocableBuffer(
      path.c_str(), width, height, channels, capacity, timestamp, array,
      static_cast<DesiredChannelsEnum>(desired), ImageFileFormat::Auto));
  EXPECT_EQ(expected.size(), capacity);
  EXPECT_EQ(0, std::memcmp(single.get(), array.get(), expected.size()));
  EXPECT_EQ(static_cast<long>(boost::filesystem::last_write_time(path)), timestamp);
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<Source, int, unsigned int>>& info) {
  return SourceName(std::get<0>(info.param)) + "_File" + std::to_string(std::get<1>(info.param)) +
         "_Desired" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Bmp, SingleLoadTest,
    ::testing::Combine(::testing::Values(Source::BmpBottomUp, Source::BmpTopDown),
                       ::testing::Values(1, 3, 4), ::testing::Values(0u, 1u, 2u, 3u, 4u)),
    ParamName);
INSTANTIATE_TEST_SUITE_P(Jpeg, SingleLoadTest,
                         ::testing::Combine(::testing::Values(Source::Jpeg),
                                            ::testing::Values(1, 3),
                                            ::testing::Values(0u, 1u, 2u, 3u, 4u)),
                         ParamName);

// Widening loads convert inside the destination in strips; every height
// leaves a different number of rows for the final, copied strip.
class WideningLoadTest : public ::testing::TestWithParam<std::tuple<int, std::pair<int, int>>> {};

TEST_P(WideningLoadTest, ExactBufferHoldsTheConvertedPicture) {
  const int height = std::get<0>(GetParam());
  const int from = std::get<1>(GetParam()).first;
  const int to = std::get<1>(GetParam()).second;
  constexpr int kNarrow = 5;
  testfiles::TempDir dir;
  const std::string path = dir.Path("p.bmp");
  const Bytes picture = testfiles::MakePicture(kNarrow, height, from);
  testfiles::WriteBmp(path, kNarrow, height, from, picture);
  Bytes buffer(static_cast<std::size_t>(kNarrow) * height * to);
  unsigned int width = 0, rows = 0, channels = 0;
  KVO::ImageLoader loader;
  ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, rows, channels, buffer.size(),
                                        buffer.data(), static_cast<DesiredChannelsEnum>(to),
                                        ImageFileFormat::Bmp));
  EXPECT_EQ(testfiles::Convert(picture, kNarrow, height, from, to), buffer);
}

INSTANTIATE_TEST_SUITE_P(Heights, WideningLoadTest,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 7, 64),
                                            ::testing::Values(std::make_pair(1, 3),
                                                              std::make_pair(1, 4),
                                                              std::make_pair(3, 4))));

class ImageLoaderTest : public ::testing::Test {
 protected:
  std::string WriteBmp(const std::string& name, int width, int height, int channels,
                       bool topDown = false) {
    const std::string path = dir.Path(name);
    testfiles::WriteBmp(path, width, height, channels,
                        testfiles::MakePicture(width, height, channels), topDown);
    return path;
  }

  testfiles::TempDir dir;
  KVO::ImageLoader loader;
  unsigned int width = 7, height = 8, channels = 9;
};

TEST_F(ImageLoaderTest, TopDownAndBottomUpFilesLoadToTheSameBytes) {
  const std::string up = WriteBmp("up.bmp", kWidth, kHeight, 3, false);
  const std::string down = WriteBmp("down.bmp", kWidth, kHeight, 3, true);
  Bytes a(kWidth * kHeight * 3), b(a.size());
  ASSERT_TRUE(loader.LoadSingleInBuffer(up.c_str(), width, height, channels, a.size(), a.data(),
                                        DesiredChannelsEnum::AsFile, ImageFileFormat::Auto));
  ASSERT_TRUE(loader.LoadSingleInBuffer(down.c_str(), width, height, channels, b.size(), b.data(),
                                        DesiredChannelsEnum::AsFile, ImageFileFormat::Auto));
  EXPECT_EQ(a, b);
}

TEST_F(ImageLoaderTest, BufferOneByteShortIsRefusedAfterReportingSize) {
  const std::string path = WriteBmp("p.bmp", kWidth, kHeight, 3);
  const std::size_t needed = kWidth * kHeight * 4;
  Bytes buffer(needed - 1, 0x5A);
  EXPECT_FALSE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, buffer.size(),
                                         buffer.data(), DesiredChannelsEnum::OneOrFour,
                                         ImageFileFormat::Auto));
  EXPECT_EQ(static_cast<unsigned>(kWidth), width);
  EXPECT_EQ(static_cast<unsigned>(kHeight), height);
  EXPECT_EQ(4u, channels);
  EXPECT_EQ(Bytes(needed - 1, 0x5A), buffer);
}

TEST_F(ImageLoaderTest, DesiredChannelsAboveFourAreRefused) {
  const std::string path = WriteBmp("p.bmp", 4, 4, 3);
  Bytes buffer(4 * 4 * 8, 0x33);
  EXPECT_FALSE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, buffer.size(),
                                         buffer.data(), static_cast<DesiredChannelsEnum>(5),
                                         ImageFileFormat::Auto));
  EXPECT_FALSE(loader.LoadSingle(path.c_str(), width, height, channels,
                                 static_cast<DesiredChannelsEnum>(8), ImageFileFormat::Auto));
  EXPECT_EQ(Bytes(4 * 4 * 8, 0x33), buffer);
}

TEST_F(ImageLoaderTest, UnconvertiblePairsAreRefusedButReported) {
  // A 16-bit BMP is two channels to the reader; three cannot be made of it.
  const std::string sixteen = dir.Path("sixteen.bmp");
  testfiles::WriteBmp(sixteen, 6, 3, 2, testfiles::MakePicture(6, 3, 2));
  Bytes buffer(6 * 3 * 4);
  EXPECT_FALSE(loader.LoadSingleInBuffer(sixteen.c_str(), width, height, channels, buffer.size(),
                                         buffer.data(), DesiredChannelsEnum::Three,
                                         ImageFileFormat::Auto));
  // As the file is, two channels load fine.
  EXPECT_TRUE(loader.LoadSingleInBuffer(sixteen.c_str(), width, height, channels, buffer.size(),
                                        buffer.data(), DesiredChannelsEnum::AsFile,
                                        ImageFileFormat::Auto));
  EXPECT_EQ(2u, channels);

  // A 1-bit BMP reports 0 channels: nothing can be delivered.
  const std::string mono = dir.Path("mono.bmp");
  testfiles::WriteBmp(mono, 8, 2, 3, testfiles::MakePicture(8, 2, 3), false, 1);
  EXPECT_FALSE(loader.LoadSingleInBuffer(mono.c_str(), width, height, channels, buffer.size(),
                                         buffer.data(), DesiredChannelsEnum::AsFile,
                                         ImageFileFormat::Auto));
  EXPECT_FALSE(loader.LoadSingle(mono.c_str(), width, height, channels, DesiredChannelsEnum::Three,
                                 ImageFileFormat::Auto));
  KVO::UserDataGenericBuffer<unsigned char> image(0, 0, 0, false);
  EXPECT_FALSE(loader.Load(mono, image));
  ASSERT_TRUE(loader.GetInfo(mono.c_str(), width, height, channels, ImageFileFormat::Auto));
  EXPECT_EQ(8u, width);
  EXPECT_EQ(0u, channels);
}

TEST_F(ImageLoaderTest, MissingFileAndUnknownFormatLeaveOutputsAlone) {
  const std::string missing = dir.Path("missing.bmp");
  EXPECT_FALSE(loader.GetInfo(missing.c_str(), width, height, channels, ImageFileFormat::Auto));
  EXPECT_FALSE(loader.LoadSingle(missing.c_str(), width, height, channels,
                                 DesiredChannelsEnum::AsFile, ImageFileFormat::Auto));
  const std::string path = WriteBmp("p.bmp", 4, 4, 3);
  EXPECT_FALSE(
      loader.GetInfo(path.c_str(), width, height, channels, static_cast<ImageFileFormat>(3)));
  EXPECT_EQ(7u, width);
  EXPECT_EQ(8u, height);
  EXPECT_EQ(9u, channels);
}

TEST_F(ImageLoaderTest, ReallocableArrayIsReusedAndReleasedOnFailure) {
  const std::string large = WriteBmp("large.bmp", 40, 30, 3);
  const std::string small = WriteBmp("small.bmp", 10, 10, 3, true);
  std::unique_ptr<unsigned char[]> array;
  unsigned int capacity = 0;
  long timestamp = 0;
  ASSERT_TRUE(loader.LoadSingleInReallocableBuffer(large.c_str(), width, height, channels, capacity,
                                                   timestamp, array, DesiredChannelsEnum::AsFile,
                                                   ImageFileFormat::Auto));
  const unsigned char* first = array.get();
  EXPECT_EQ(40u * 30 * 3, capacity);
  ASSERT_TRUE(loader.LoadSingleInReallocableBuffer(small.c_str(), width, height, channels, capacity,
                                                   timestamp, array, DesiredChannelsEnum::AsFile,
                                                   ImageFileFormat::Auto));
  EXPECT_EQ(first, array.get());
  EXPECT_EQ(40u * 30 * 3, capacity);

  // Truncated pixel data: the header reads, the pixels do not.
  Bytes bytes = testfiles::ReadWholeFile(large);
  bytes.resize(bytes.size() - 100);
  const std::string truncated = dir.Path("truncated.bmp");
  testfiles::WriteWholeFile(truncated, bytes);
  EXPECT_FALSE(loader.LoadSingleInReallocableBuffer(
      truncated.c_str(), width, height, channels, capacity, timestamp, array,
      DesiredChannelsEnum::AsFile, ImageFileFormat::Auto));
  EXPECT_FALSE(array);
  EXPECT_EQ(0u, capacity);
  ASSERT_TRUE(loader.LoadSingleInReallocableBuffer(small.c_str(), width, height, channels, capacity,
                                                   timestamp, array, DesiredChannelsEnum::Four,
                                                   ImageFileFormat::Auto));
  EXPECT_EQ(10u * 10 * 4, capacity);
  EXPECT_TRUE(array);
}

TEST_F(ImageLoaderTest, LoadRedimensionsAStridedImageToPacked) {
  const std::string path = WriteBmp("p.bmp", 5, 4, 3, true);
  Bytes memory(4 * 32, 0);
  KVO::UserDataGenericBuffer<unsigned char> image(5, 4, 3, false);
  image.Reset(5, 4, 3, memory.data(), 32);
  ASSERT_TRUE(loader.Load(path, image));
  EXPECT_EQ(15, image.stride);
  EXPECT_NE(memory.data(), image.begin);
  EXPECT_EQ(Bytes(4 * 32, 0), memory);  // the view's memory is left alone
  const Bytes picture = testfiles::MakePicture(5, 4, 3);
  EXPECT_EQ(picture, Bytes(image.begin, image.begin + picture.size()));

  // An image of the right form keeps its storage.
  unsigned char* kept = image.begin;
  ASSERT_TRUE(loader.Load(path, image));
  EXPECT_EQ(kept, image.begin);
}

TEST_F(ImageLoaderTest, RawBayerLoadsBottomUpInEveryChannelCount) {
  constexpr int kBayerWidth = 3376, kBayerHeight = 2704;
  // File rows run top-first; row r of the file holds r + column.
  Bytes raw(static_cast<std::size_t>(kBayerWidth) * kBayerHeight);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = (i / kBayerWidth + i % kBayerWidth) & 0xFF;
  const std::string path = dir.Path("frame.raw");
  testfiles::WriteWholeFile(path, raw);
  // The picture bottom-up: the file's last row first.
  const Bytes bottomRow(raw.end() - kBayerWidth, raw.end());
  const Bytes topRow(raw.begin(), raw.begin() + kBayerWidth);
  for (unsigned int desired = 0; desired <= 4; ++desired) {
    SCOPED_TRACE(desired);
    std::unique_ptr<unsigned char[]> pixels =
        loader.LoadSingle(path.c_str(), width, height, channels,
                          static_cast<DesiredChannelsEnum>(desired), ImageFileFormat::Auto);
    ASSERT_TRUE(pixels);
    const unsigned int wanted = Resolve(desired, 1);
    EXPECT_EQ(wanted, channels);
    const std::size_t rowBytes = std::size_t{kBayerWidth} * wanted;
    EXPECT_EQ(testfiles::Convert(bottomRow, kBayerWidth, 1, 1, static_cast<int>(wanted)),
              Bytes(pixels.get(), pixels.get() + rowBytes));
    EXPECT_EQ(testfiles::Convert(topRow, kBayerWidth, 1, 1, static_cast<int>(wanted)),
              Bytes(pixels.get() + rowBytes * (kBayerHeight - 1),
                    pixels.get() + rowBytes * kBayerHeight));
  }
}

TEST(ImageLoaderLifetime, CreatedAndDestroyedInALoop) {
  for (int i = 0; i < 1000; ++i) {
    KVO::ImageLoader loader;
    EXPECT_EQ(KVO::ImageLoader::Idle, loader.GetStatus());
  }
}

}  // namespace
