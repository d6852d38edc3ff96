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

}  // namespace
