#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "imaging/ImageLoader.h"
#include "imaging/ImageSaver.h"
#include "imaging/UserDataImageBuffer.h"
#include "tests/support/TestSupport.h"

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using testsupport::Bytes;

constexpr int kWidth = 35;  // odd, so BMP rows need fill bytes
constexpr int kHeight = 39;

unsigned int Resolve(unsigned int desired, unsigned int fileChannels) {
  if (desired == 0) return fileChannels;
  if (desired == 2) return fileChannels == 1 ? 1 : 4;
  return desired;
}

DesiredChannelsEnum Desired(unsigned int d) { return static_cast<DesiredChannelsEnum>(d); }

// An 8 x 2 BMP of one bit per pixel with its two-entry palette.
void WriteOneBitBmp(const std::string& path) {
  Bytes file = {'B', 'M'};
  auto put = [&file](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) file.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  const std::uint32_t offset = 54 + 8, rows = 2 * 4;
  put(offset + rows, 4);
  put(0, 4);
  put(offset, 4);
  put(40, 4);
  put(8, 4);  // width
  put(2, 4);  // height
  put(1, 2);  // planes
  put(1, 2);  // bits per pixel
  put(0, 4);  // no compression
  put(rows, 4);
  put(0, 4);
  put(0, 4);
  put(2, 4);  // palette entries
  put(0, 4);
  put(0x00000000, 4);
  put(0x00FFFFFF, 4);
  for (std::uint32_t row : {0xAAu, 0x55u}) put(row, 4);
  testsupport::WriteWholeFile(path, file);
}

class ImageLoaderTest : public ::testing::Test {
 protected:
  std::string WriteBmp(const std::string& name, int width, int height, int channels,
                       bool topDown = false, const Bytes& picture = {}) {
    const std::string path = dir.Path(name);
    testsupport::WriteBmp(
        path, width, height, channels,
        picture.empty() ? testsupport::MakePicture(width, height, channels) : picture, topDown);
    return path;
  }
  bool LoadInBuffer(const std::string& path, Bytes& buffer, unsigned int desired,
                    ImageFileFormat format = ImageFileFormat::Auto) {
    return loader.LoadSingleInBuffer(path.c_str(), width, height, channels, buffer.size(),
                                     buffer.data(), Desired(desired), format);
  }
  bool LoadReallocable(const std::string& path, unsigned int desired) {
    return loader.LoadSingleInReallocableBuffer(path.c_str(), width, height, channels, capacity,
                                                timestamp, array, Desired(desired),
                                                ImageFileFormat::Auto);
  }

  testsupport::TempDir dir;
  KVO::ImageLoader loader;
  unsigned int width = 7, height = 8, channels = 9, capacity = 0;
  long timestamp = 0;
  std::unique_ptr<unsigned char[]> array;
};

enum class Source { BmpBottomUp, BmpTopDown, Jpeg };

// Every load form gives the picture bottom-up with the resolved channel
// count (top-down BMP equal to bottom-up byte for byte).
class SingleLoadTest : public ImageLoaderTest,
                       public ::testing::WithParamInterface<std::tuple<Source, int, unsigned>> {};

TEST_P(SingleLoadTest, EveryFormDeliversBottomUpRows) {
  const auto [source, fileChannels, desired] = GetParam();
  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, fileChannels);
  std::string path = dir.Path("picture.jpg");
  if (source == Source::Jpeg) {
    ASSERT_TRUE(KVO::ImageSaver::Save(path.c_str(), kWidth, kHeight, fileChannels, picture.data(),
                                      ImageFileFormat::Jpeg, 0));
  } else {
    path = WriteBmp("picture.bmp", kWidth, kHeight, fileChannels, source == Source::BmpTopDown);
  }
  const unsigned int wanted = Resolve(desired, fileChannels);
  const Bytes expected = testsupport::Convert(picture, kWidth, kHeight, fileChannels, wanted);
  auto expectPixels = [&](const unsigned char* pixels) {
    const Bytes got(pixels, pixels + expected.size());
    if (source != Source::Jpeg) {
      EXPECT_EQ(expected, got);
      return;
    }
    EXPECT_LT(testsupport::MeanAbsDiff(got, expected), 4.0);
    for (std::size_t i = 3; wanted == 4 && i < expected.size(); i += 4) ASSERT_EQ(0, got[i]);
  };

  Bytes buffer(expected.size() + 7, 0xEE);
  ASSERT_TRUE(LoadInBuffer(path, buffer, desired));
  EXPECT_EQ((std::tuple{unsigned{kWidth}, unsigned{kHeight}, wanted}),
            std::tie(width, height, channels));
  expectPixels(buffer.data());
  EXPECT_EQ(0xEE, buffer[expected.size()]) << "nothing is written past the image";

  const std::unique_ptr<unsigned char[]> single = loader.LoadSingle(
      path.c_str(), width, height, channels, Desired(desired), ImageFileFormat::Auto);
  ASSERT_TRUE(single);
  expectPixels(single.get());
  ASSERT_TRUE(LoadReallocable(path, desired));
  EXPECT_EQ(expected.size(), capacity);
  expectPixels(array.get());
  EXPECT_EQ(static_cast<long>(boost::filesystem::last_write_time(path)), timestamp);
}

INSTANTIATE_TEST_SUITE_P(
    Bmp, SingleLoadTest,
    ::testing::Combine(::testing::Values(Source::BmpBottomUp, Source::BmpTopDown),
                       ::testing::Values(1, 3, 4), ::testing::Values(0u, 1u, 2u, 3u, 4u)));
INSTANTIATE_TEST_SUITE_P(Jpeg, SingleLoadTest,
                         ::testing::Combine(::testing::Values(Source::Jpeg),
                                            ::testing::Values(1, 3),
                                            ::testing::Values(0u, 1u, 2u, 3u, 4u)));

TEST_F(ImageLoaderTest, WideningFillsAnExactBufferWhateverRowsTheLastStripHas) {
  // Widening converts inside the destination in strips; each height leaves a
  // different number of rows for the final, copied strip.
  for (int rows : {1, 2, 3, 4, 7, 64}) {
    for (auto [from, to] : {std::pair{1, 3}, std::pair{1, 4}, std::pair{3, 4}}) {
      const Bytes picture = testsupport::MakePicture(5, rows, from);
      const std::string path = WriteBmp("p.bmp", 5, rows, from, false, picture);
      Bytes buffer(static_cast<std::size_t>(5) * rows * to);
      ASSERT_TRUE(LoadInBuffer(path, buffer, to, ImageFileFormat::Bmp));
      EXPECT_EQ(testsupport::Convert(picture, 5, rows, from, to), buffer) << rows << " " << from;
    }
  }
}

TEST_F(ImageLoaderTest, RefusedLoadsLeaveTheBufferAlone) {
  const std::string path = WriteBmp("p.bmp", kWidth, kHeight, 3);
  Bytes buffer(kWidth * kHeight * 4 - 1, 0x5A);
  EXPECT_FALSE(LoadInBuffer(path, buffer, 2));  // one byte short: the size is still reported
  EXPECT_EQ((std::tuple{unsigned{kWidth}, unsigned{kHeight}, 4u}),
            std::tie(width, height, channels));
  EXPECT_FALSE(LoadInBuffer(path, buffer, 5));  // desired channels beyond four
  EXPECT_FALSE(
      loader.LoadSingle(path.c_str(), width, height, channels, Desired(8), ImageFileFormat::Auto));
  // A 16-bit BMP is two channels to the reader: as the file they load, three
  // cannot be made of them.
  const std::string sixteen = WriteBmp("sixteen.bmp", 6, 3, 2);
  EXPECT_FALSE(LoadInBuffer(sixteen, buffer, 3));
  EXPECT_FALSE(loader.LoadSingle(sixteen.c_str(), width, height, channels, Desired(3),
                                 ImageFileFormat::Auto));
  EXPECT_EQ(Bytes(kWidth * kHeight * 4 - 1, 0x5A), buffer);
  EXPECT_TRUE(LoadInBuffer(sixteen, buffer, 0));
  EXPECT_EQ(2u, channels);
  EXPECT_EQ(testsupport::MakePicture(6, 3, 2), Bytes(buffer.begin(), buffer.begin() + 36));

  // A 1-bit BMP reports 0 channels: nothing can be delivered, but GetInfo tells.
  const std::string mono = dir.Path("mono.bmp");
  WriteOneBitBmp(mono);
  std::fill(buffer.begin(), buffer.end(), 0x5A);
  for (unsigned int desired : {0u, 1u, 3u}) EXPECT_FALSE(LoadInBuffer(mono, buffer, desired));
  EXPECT_EQ(Bytes(kWidth * kHeight * 4 - 1, 0x5A), buffer);
  EXPECT_FALSE(
      loader.LoadSingle(mono.c_str(), width, height, channels, Desired(3), ImageFileFormat::Auto));
  EXPECT_FALSE(
      loader.LoadSingle(mono.c_str(), width, height, channels, Desired(0), ImageFileFormat::Auto));
  EXPECT_FALSE(LoadReallocable(mono, 0));
  KVO::UserDataGenericBuffer<unsigned char> image(0, 0, 0, false);
  EXPECT_FALSE(loader.Load(mono, image));
  ASSERT_TRUE(loader.GetInfo(mono.c_str(), width, height, channels, ImageFileFormat::Auto));
  EXPECT_EQ((std::tuple{8u, 2u, 0u}), std::tie(width, height, channels));

  // A grey header of 40000 x 40000 is within range as the file is, but three
  // channels of it are not: refused before any array is made, the caller's
  // array stays, and what the load would have been is reported.
  const std::string huge = WriteBmp("huge.bmp", 1, 1, 1);
  const std::uint32_t side = 40000;
  for (int at : {18, 22}) ASSERT_TRUE(testsupport::OverwriteLe(huge, at, side, 4));
  ASSERT_TRUE(LoadReallocable(WriteBmp("small.bmp", 4, 4, 3), 0));
  const unsigned char* kept = array.get();
  EXPECT_FALSE(LoadReallocable(huge, 3));
  EXPECT_EQ((std::tuple{side, side, 3u}), std::tie(width, height, channels));
  EXPECT_EQ(kept, array.get());
  EXPECT_EQ(48u, capacity);
  EXPECT_FALSE(
      loader.LoadSingle(huge.c_str(), width, height, channels, Desired(4), ImageFileFormat::Auto));
}

TEST_F(ImageLoaderTest, MissingFileAndUnknownFormatLeaveOutputsAlone) {
  const std::string missing = dir.Path("missing.bmp");
  EXPECT_FALSE(loader.GetInfo(missing.c_str(), width, height, channels, ImageFileFormat::Auto));
  EXPECT_FALSE(loader.LoadSingle(missing.c_str(), width, height, channels,
                                 DesiredChannelsEnum::AsFile, ImageFileFormat::Auto));
  const std::string path = WriteBmp("p.bmp", 4, 4, 3);
  EXPECT_FALSE(
      loader.GetInfo(path.c_str(), width, height, channels, static_cast<ImageFileFormat>(3)));
  // A file that opens but whose header cannot be read whole.
  const std::string cut = dir.Path("cut.bmp");
  Bytes header = testsupport::ReadWholeFile(path);
  header.resize(20);
  testsupport::WriteWholeFile(cut, header);
  EXPECT_FALSE(loader.GetInfo(cut.c_str(), width, height, channels, ImageFileFormat::Auto));
  EXPECT_FALSE(loader.LoadSingle(cut.c_str(), width, height, channels, DesiredChannelsEnum::AsFile,
                                 ImageFileFormat::Auto));
  EXPECT_EQ((std::tuple{7u, 8u, 9u}), std::tie(width, height, channels));
}

TEST_F(ImageLoaderTest, ReallocableArrayIsReusedAndReleasedOnFailure) {
  const std::string large = WriteBmp("large.bmp", 40, 30, 3);
  ASSERT_TRUE(LoadReallocable(large, 0));
  const unsigned char* first = array.get();
  ASSERT_TRUE(LoadReallocable(WriteBmp("small.bmp", 10, 10, 3, true), 0));
  EXPECT_EQ(first, array.get());
  EXPECT_EQ(40u * 30 * 3, capacity);
  // Truncated pixel data: the header reads, the pixels do not.
  Bytes bytes = testsupport::ReadWholeFile(large);
  bytes.resize(bytes.size() - 100);
  testsupport::WriteWholeFile(dir.Path("truncated.bmp"), bytes);
  EXPECT_FALSE(LoadReallocable(dir.Path("truncated.bmp"), 0));
  EXPECT_FALSE(array);
  EXPECT_EQ(0u, capacity);
  ASSERT_TRUE(LoadReallocable(dir.Path("small.bmp"), 4));
  EXPECT_EQ(10u * 10 * 4, capacity);
}

TEST_F(ImageLoaderTest, LoadRedimensionsAStridedOrStorageLessImageToPacked) {
  const std::string path = WriteBmp("p.bmp", 5, 4, 3, true);
  Bytes memory(4 * 32, 0);
  KVO::UserDataGenericBuffer<unsigned char> image(0, 0, 0, false);
  image.Reset(5, 4, 3, memory.data(), 32);
  ASSERT_TRUE(loader.Load(path, image));
  EXPECT_EQ(15, image.stride);
  EXPECT_EQ(Bytes(4 * 32, 0), memory);  // the view's memory is left alone
  EXPECT_EQ(testsupport::MakePicture(5, 4, 3), Bytes(image.begin, image.end));
  unsigned char* kept = image.begin;  // an image of the right form keeps its storage
  ASSERT_TRUE(loader.Load(path, image));
  EXPECT_EQ(kept, image.begin);
  // One of the file's size without storage is given an array, in both row orders.
  for (bool topDown : {false, true}) {
    KVO::UserDataGenericBuffer<unsigned char> storageLess(5, 4, 3, false);
    ASSERT_TRUE(loader.Load(WriteBmp("q.bmp", 5, 4, 3, topDown), storageLess));
    ASSERT_NE(nullptr, storageLess.begin);
    EXPECT_EQ(testsupport::MakePicture(5, 4, 3), Bytes(storageLess.begin, storageLess.begin + 60));
  }
}

TEST_F(ImageLoaderTest, RawBayerLoadsBottomUpInEveryChannelCount) {
  constexpr int kBayerWidth = 3376, kBayerHeight = 2704;
  // File rows run top-first; row r of the file holds r + column.
  Bytes raw(static_cast<std::size_t>(kBayerWidth) * kBayerHeight);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = (i / kBayerWidth + i % kBayerWidth) & 0xFF;
  const std::string path = dir.Path("frame.raw");
  testsupport::WriteWholeFile(path, raw);
  const Bytes bottomRow(raw.end() - kBayerWidth, raw.end());
  const Bytes topRow(raw.begin(), raw.begin() + kBayerWidth);
  for (unsigned int desired = 0; desired <= 4; ++desired) {
    const auto pixels = loader.LoadSingle(path.c_str(), width, height, channels, Desired(desired),
                                          ImageFileFormat::Auto);
    ASSERT_TRUE(pixels);
    const unsigned int wanted = Resolve(desired, 1);
    EXPECT_EQ(wanted, channels);
    const std::size_t row = std::size_t{kBayerWidth} * wanted;
    const unsigned char* last = pixels.get() + row * (kBayerHeight - 1);
    EXPECT_EQ(testsupport::Convert(bottomRow, kBayerWidth, 1, 1, wanted),
              Bytes(pixels.get(), pixels.get() + row));
    EXPECT_EQ(testsupport::Convert(topRow, kBayerWidth, 1, 1, wanted), Bytes(last, last + row));
  }
}

TEST(ImageLoaderLifetime, CreatedAndDestroyedInALoop) {
  for (int i = 0; i < 1000; ++i) {
    KVO::ImageLoader loader;
    EXPECT_EQ(KVO::ImageLoader::Idle, loader.GetStatus());
    EXPECT_EQ(KVO::ImageLoader::None, loader.GetNextMediaType());
  }
}

}  // namespace
