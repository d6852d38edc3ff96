// The image exports as a host sees them: the public header and the shared
// library, plus the tests' own file and picture helpers.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TolvenixUtilities.h"
#include "tests/support/JpegOddities.h"
#include "tests/support/JpegStreams.h"
#include "tests/support/TempDirTest.h"

namespace {

using testsupport::Bytes;
using testsupport::MakePicture;
constexpr int kBmp = 1;
constexpr int kJpeg = 2;

class ImageExportsTest : public testsupport::TempDirTest {
 protected:
  std::string Save(const std::string& name, unsigned int w, unsigned int h, unsigned int c,
                   int format = kBmp, int seed = 0) {
    const std::string path = Path(name);
    Bytes pixels = MakePicture(w, h, c, seed);
    EXPECT_TRUE(UTIL_SaveImageFromBuffer(path.c_str(), w, h, c, pixels.data(), format, 0));
    return path;
  }
  // Loads into `buffer` (header only when it is empty), filling the members.
  bool Load(const std::string& path, Bytes& buffer, int desired = 0, int format = 0) {
    return UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels, buffer.size(),
                                  buffer.empty() ? nullptr : buffer.data(), desired, format);
  }

  std::vector<unsigned int> Reported() const { return {width, height, channels}; }

  unsigned int width = 11, height = 12, channels = 13;
};

TEST_F(ImageExportsTest, HeaderOnlyModeReportsTheFileAndTouchesNoBuffer) {
  const std::string path = Save("p.bmp", 640, 480, 3);
  EXPECT_TRUE(
      UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels, 1000, nullptr, 4, 0));
  EXPECT_EQ(Reported(), (std::vector<unsigned int>{640, 480, 3}));  // the file's own count
  // Nor is a buffer of size 0 written.
  Bytes buffer(16, 0x77), none;
  width = 0;
  EXPECT_TRUE(
      UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels, 0, buffer.data(), 4, 0));
  EXPECT_EQ(640u, width);
  EXPECT_EQ(Bytes(16, 0x77), buffer);
  // Null output pointers are skipped, in either mode.
  EXPECT_TRUE(UTIL_LoadImageToBuffer(path.c_str(), nullptr, &height, nullptr, 0, nullptr, 0, 0));
  Bytes pixels(640 * 480 * 3);
  EXPECT_TRUE(UTIL_LoadImageToBuffer(path.c_str(), nullptr, nullptr, nullptr, pixels.size(),
                                     pixels.data(), 0, 0));
  // A missing file answers true with zeros in header-only mode, false otherwise.
  const std::string missing = Path("missing.bmp");
  EXPECT_TRUE(Load(missing, none));
  EXPECT_EQ(Reported(), (std::vector<unsigned int>{0, 0, 0}));
  width = 5;
  EXPECT_FALSE(Load(missing, buffer));
  EXPECT_EQ(0u, width);
}

TEST_F(ImageExportsTest, RefusedLoadsTouchNoBufferAndTellTheSize) {
  const std::string path = Save("p.bmp", 35, 39, 3);
  Bytes shortByOne(35 * 39 * 4 - 1, 0x42), ample(35 * 39 * 8, 0x42), none;
  EXPECT_FALSE(Load(path, shortByOne, 4));
  EXPECT_EQ(Reported(), (std::vector<unsigned int>{35, 39, 4}));
  // Unknown formats and channel counts.
  EXPECT_FALSE(Load(path, ample, 0, 3) || Load(path, ample, -1) || Load(path, ample, 5));
  EXPECT_EQ(Bytes(shortByOne.size(), 0x42), shortByOne);
  EXPECT_EQ(Bytes(ample.size(), 0x42), ample);
  EXPECT_TRUE(Load(path, none, 0, 3));
  EXPECT_EQ(0u, width);
}

// Desired channels 2 keeps one channel for a grey file and makes four of
// three.
TEST_F(ImageExportsTest, OneOrFourFollowsTheFile) {
  Bytes buffer(8 * 8 * 4);
  ASSERT_TRUE(Load(Save("grey.bmp", 8, 8, 1), buffer, 2));
  EXPECT_EQ(Reported(), (std::vector<unsigned int>{8, 8, 1}));
  ASSERT_TRUE(Load(Save("colour.bmp", 8, 8, 3), buffer, 2));
  EXPECT_EQ(Reported(), (std::vector<unsigned int>{8, 8, 4}));
}

TEST_F(ImageExportsTest, SavedPicturesLoadBackByName) {
  const Bytes picture = MakePicture(35, 39, 3);
  Bytes buffer(picture.size());
  ASSERT_TRUE(Load(Save("p.bmp", 35, 39, 3, 0), buffer));
  EXPECT_EQ(picture, buffer);
  ASSERT_TRUE(Load(Save("p.jpg", 35, 39, 3, 0), buffer, 0, kJpeg));
  EXPECT_LT(testsupport::MeanAbsDiff(picture, buffer), 4.0);
}

// Codec warnings about bytes the decoder skips or fields it ignores cost no
// sample: such files load whole, with the plain codec's pixels, bottom row
// first. Their damaged twins are refused, with a buffer the header fits.
TEST_F(ImageExportsTest, JpegFilesLoadUnlessTheirWarningsMeanLostSamples) {
  const std::string path = Path("odd.jpg");
  ::testing::internal::CaptureStderr();  // the codec's warnings
  for (const testsupport::JpegOddity& oddity : testsupport::HarmlessJpegOddities()) {
    SCOPED_TRACE(oddity.what);
    ASSERT_TRUE(testsupport::WriteWholeFile(path, oddity.stream));
    const Bytes topDown = testsupport::ReferenceDecodeJpeg(oddity.plain);
    Bytes buffer(topDown.size());
    if (!Load(path, buffer, 3, kJpeg)) {
      ADD_FAILURE() << "refused";
      continue;
    }
    const std::size_t row = std::size_t{width} * 3;
    ASSERT_EQ(buffer.size(), row * height);
    for (std::size_t y = 0; y < height; ++y) {
      EXPECT_TRUE(std::equal(buffer.begin() + y * row, buffer.begin() + (y + 1) * row,
                             topDown.end() - (y + 1) * row))
          << "row " << y;
    }
  }
  for (const testsupport::JpegOddity& twin : testsupport::DamagedJpegTwins()) {
    SCOPED_TRACE(twin.what);
    ASSERT_TRUE(testsupport::WriteWholeFile(path, twin.stream));
    Bytes none;
    ASSERT_TRUE(Load(path, none, 3, kJpeg));
    Bytes buffer(std::size_t{width} * height * 3);
    EXPECT_FALSE(Load(path, buffer, 3, kJpeg));
  }
  ::testing::internal::GetCapturedStderr();
}

TEST_F(ImageExportsTest, RefusedSavesTouchNoFile) {
  const std::string path = Save("keep.bmp", 4, 4, 3);
  const Bytes before = testsupport::ReadWholeFile(path);
  Bytes pixels = MakePicture(4, 4, 3, 5);
  EXPECT_FALSE(UTIL_SaveImageFromBuffer(path.c_str(), 4, 4, 3, nullptr, kBmp, 0) ||
               UTIL_SaveImageFromBuffer(path.c_str(), 4, 4, 3, pixels.data(), kBmp, -12) ||
               UTIL_SaveImageFromBuffer(path.c_str(), 4, 4, 2, pixels.data(), kJpeg, 0) ||
               UTIL_SaveImageFromBuffer(path.c_str(), 4, 4, 1, pixels.data(), 4, 0));
  // A BMP holds 1 to 4 channels; 0 and 5 are refused, a new name not made.
  Bytes wide(4 * 4 * 5, 0x5A);
  const std::string fresh = Path("fresh.bmp");
  for (unsigned int channels : {0u, 5u}) {
    for (const std::string& name : {path, fresh}) {
      EXPECT_FALSE(UTIL_SaveImageFromBuffer(name.c_str(), 4, 4, channels, wide.data(), kBmp, 0))
          << channels;
    }
  }
  EXPECT_FALSE(testsupport::Exists(fresh));
  EXPECT_EQ(before, testsupport::ReadWholeFile(path));
  // Format 3 (raw Bayer) saves nothing and creates no file.
  const std::string three = Path("three.bmp");
  EXPECT_FALSE(UTIL_SaveImageFromBuffer(three.c_str(), 4, 4, 3, pixels.data(), 3, 0));
  EXPECT_FALSE(testsupport::Exists(three));
}

// Each call has its own loader: host threads load at once, each its own
// picture into its own buffer.
TEST_F(ImageExportsTest, EightThreadsLoadAtOnce) {
  constexpr int kThreads = 8;
  std::vector<std::string> paths;
  for (int i = 0; i < kThreads; ++i) {
    paths.push_back(Save("t" + std::to_string(i) + ".bmp", 33, 17, 3, kBmp, i));
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Bytes buffer(33 * 17 * 3);
      for (int round = 0; round < 25; ++round) {
        unsigned int w = 0, h = 0, c = 0;
        const int owner = (i + round) % kThreads;
        if (!UTIL_LoadImageToBuffer(paths[owner].c_str(), &w, &h, &c, buffer.size(), buffer.data(),
                                    3, 0) ||
            buffer != MakePicture(33, 17, 3, owner)) {
          ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, mismatches.load());
}

}  // namespace
