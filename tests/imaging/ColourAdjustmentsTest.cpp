#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "imaging/ImageConversions.h"
#include "tests/imaging/StridedPicture.h"

namespace KVO {
namespace ImageConversions {
namespace {

using testing_support::AllKernelChoices;
using testing_support::KernelName;
using testing_support::KernelSelection;

using Bytes = std::vector<unsigned char>;

// The white-balance rule for one value, computed independently.
unsigned char Balanced(unsigned char v, unsigned char level) {
  if (v >= level) return 255;
  const float factor = 255.0f / static_cast<float>(level);
  return static_cast<unsigned char>(static_cast<int>(static_cast<float>(v) * factor));
}

class WhiteBalanceTest : public ::testing::TestWithParam<const PixelKernels::AcceleratedKernels*> {
 protected:
  WhiteBalanceTest() : selection(GetParam()) {}
  KernelSelection selection;
};

TEST_P(WhiteBalanceTest, EveryLevelMapsEveryValueByTheRule) {
  // 256 pixels of 4 channels whose channels hold every value, so one call
  // checks a whole table per channel; the fourth byte must survive.
  Bytes pixels(256 * 4);
  for (int i = 0; i < 256; ++i) {
    pixels[4 * i] = static_cast<unsigned char>(i);
    pixels[4 * i + 1] = static_cast<unsigned char>(255 - i);
    pixels[4 * i + 2] = static_cast<unsigned char>(i * 7);
    pixels[4 * i + 3] = static_cast<unsigned char>(i ^ 0x5A);
  }
  for (int level = 0; level < 256; ++level) {
    for (int channels : {3, 4}) {
      Bytes image(pixels.begin(), pixels.begin() + 256 * channels);
      if (channels == 3) {
        for (int i = 0; i < 256; ++i) {
          for (int c = 0; c < 3; ++c) image[3 * i + c] = pixels[4 * i + c];
        }
      }
      const Bytes before = image;
      UserDataGenericBuffer<unsigned char> view(16, 16, channels, image.data());
      const auto blue = static_cast<unsigned char>(level);
      const auto green = static_cast<unsigned char>(255 - level);
      const auto red = static_cast<unsigned char>(level / 2 + 64);
      SetWhiteBalance(&view, red, green, blue);
      for (int i = 0; i < 256; ++i) {
        const unsigned char* was = &before[channels * i];
        const unsigned char* now = &image[channels * i];
        ASSERT_EQ(now[0], Balanced(was[0], blue)) << level << " " << i;
        ASSERT_EQ(now[1], Balanced(was[1], green)) << level << " " << i;
        ASSERT_EQ(now[2], Balanced(was[2], red)) << level << " " << i;
        if (channels == 4) {
          ASSERT_EQ(now[3], was[3]);
        }
      }
    }
  }
}

TEST_P(WhiteBalanceTest, WorkedLevels) {
  Bytes blue = {0, 9, 9, 1, 9, 9, 127, 9, 9, 128, 9, 9, 200, 9, 9};
  UserDataGenericBuffer<unsigned char> view(5, 1, 3, blue.data());
  SetWhiteBalance(&view, 255, 255, 128);
  EXPECT_EQ(blue, (Bytes{0, 9, 9, 1, 9, 9, 253, 9, 9, 255, 9, 9, 255, 9, 9}));
  SetWhiteBalance(&view, 255, 255, 255);
  EXPECT_EQ(blue, (Bytes{0, 9, 9, 1, 9, 9, 253, 9, 9, 255, 9, 9, 255, 9, 9}));
  SetWhiteBalance(&view, 0, 255, 255);
  EXPECT_EQ(blue, (Bytes{0, 9, 255, 1, 9, 255, 253, 9, 255, 255, 9, 255, 255, 9, 255}));
}

TEST_P(WhiteBalanceTest, LargeImagesMatchTheRuleToo) {
  // Long enough for the vector body; odd length for the tail.
  Bytes image(1001 * 3);
  std::uint32_t seed = 3;
  for (unsigned char& v : image) v = static_cast<unsigned char>((seed = seed * 69069u + 7u) >> 24);
  const Bytes before = image;
  UserDataGenericBuffer<unsigned char> view(1001, 1, 3, image.data());
  SetWhiteBalance(&view, 201, 17, 254);
  const unsigned char levels[3] = {254, 17, 201};
  for (size_t i = 0; i < image.size(); ++i) {
    ASSERT_EQ(image[i], Balanced(before[i], levels[i % 3])) << i;
  }
}

TEST_P(WhiteBalanceTest, AutomaticLevelsFollowTheHistograms) {
  // Fraction 0: each channel's largest value becomes 255; an all-zero
  // channel gets level 0 and becomes 255 everywhere.
  Bytes image = {10, 0, 100, 20, 0, 50, 40, 0, 25, 30, 0, 75};
  UserDataGenericBuffer<unsigned char> view(2, 2, 3, image.data());
  AutoWhiteBalance(&view, 0.0f);
  EXPECT_EQ(image, (Bytes{Balanced(10, 40), 255, 255, Balanced(20, 40), 255, Balanced(50, 100), 255,
                          255, Balanced(25, 100), Balanced(30, 40), 255, Balanced(75, 100)}));

  // A negative threshold selects level 255 everywhere: nothing changes.
  Bytes unchanged = {10, 0, 100, 20, 0, 50, 40, 0, 25, 30, 0, 75};
  const Bytes copy = unchanged;
  UserDataGenericBuffer<unsigned char> second(2, 2, 3, unchanged.data());
  AutoWhiteBalance(&second, -1.0f);
  EXPECT_EQ(unchanged, copy);

  // Fraction 1 over 4 pixels: threshold 2, so the level is the third
  // largest value of each channel.
  Bytes third = {10, 1, 100, 20, 2, 50, 40, 3, 25, 30, 4, 75};
  UserDataGenericBuffer<unsigned char> view3(2, 2, 3, third.data());
  AutoWhiteBalance(&view3, 1.0f);
  EXPECT_EQ(third[0], Balanced(10, 20));
  EXPECT_EQ(third[4], Balanced(2, 2));
  EXPECT_EQ(third[2], Balanced(100, 50));
}

TEST_P(WhiteBalanceTest, AutomaticLevelsOfFourChannelImagesSkipTheFourthByte) {
  // Histograms over 4-byte pixels; a 3-byte step would mix the channels.
  Bytes image = {10, 0, 100, 7, 20, 0, 50, 8, 40, 0, 25, 9, 30, 0, 75, 200};
  UserDataGenericBuffer<unsigned char> view(2, 2, 4, image.data());
  AutoWhiteBalance(&view, 0.0f);
  EXPECT_EQ(image,
            (Bytes{Balanced(10, 40), 255, 255, 7, Balanced(20, 40), 255, Balanced(50, 100), 8, 255,
                   255, Balanced(25, 100), 9, Balanced(30, 40), 255, Balanced(75, 100), 200}));
}

TEST_P(WhiteBalanceTest, AutomaticLevelsAlwaysEnd) {
  // No pixels, a fraction no count can exceed, huge and NaN fractions:
  // each ends and leaves the image unchanged.
  UserDataGenericBuffer<unsigned char> empty(0, 0, 3, false);
  AutoWhiteBalance(&empty, 0.0f);
  AutoWhiteBalance(&empty, 1.0f);
  Bytes image = {1, 2, 3, 4, 5, 6, 7, 8, 9, 250, 251, 252};
  const Bytes before = image;
  UserDataGenericBuffer<unsigned char> view(4, 1, 3, image.data());
  for (float fraction : {2.0f, 3.5f, 1e30f, -1e30f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()}) {
    AutoWhiteBalance(&view, fraction);
    ASSERT_EQ(image, before) << fraction;
  }
}

TEST_P(WhiteBalanceTest, ImagesWithFewerThanThreeChannelsAreLeftAlone) {
  Bytes grey = {1, 2, 3, 4};
  UserDataGenericBuffer<unsigned char> view(2, 1, 2, grey.data());
  SetWhiteBalance(&view, 1, 1, 1);
  AutoWhiteBalance(&view, 0.0f);
  MaximizeSaturationAndValue(&view);
  MaximizeValue(&view);
  EXPECT_EQ(grey, (Bytes{1, 2, 3, 4}));
}
INSTANTIATE_TEST_SUITE_P(Kernels, WhiteBalanceTest, ::testing::ValuesIn(AllKernelChoices()),
                         [](const auto& info) { return std::string(KernelName(info.param)); });

TEST(MaximizeTest, SaturationAndValueStretchEachPixel) {
  Bytes image = {10, 20, 30, 7, 0, 0, 0, 7, 40, 40, 10, 7, 30, 10, 20, 7, 5, 9, 9, 7};
  UserDataGenericBuffer<unsigned char> view(5, 1, 4, image.data());
  MaximizeSaturationAndValue(&view);
  EXPECT_EQ(image, (Bytes{0, 127, 255, 7, 255, 255, 255, 7,   255, 255,
                          0, 7,   255, 0, 127, 7,   0,   255, 255, 7}));
}

TEST(MaximizeTest, ValueScalesToTheLargestChannel) {
  Bytes image = {0, 0, 0, 10, 20, 40, 255, 1, 2};
  UserDataGenericBuffer<unsigned char> view(3, 1, 3, image.data());
  MaximizeValue(&view);
  EXPECT_EQ(image, (Bytes{0, 0, 0, 63, 127, 255, 255, 1, 2}));

  Bytes four = {0, 0, 0, 9, 10, 20, 40, 250, 5, 1, 0, 3};
  UserDataGenericBuffer<unsigned char> fourView(3, 1, 4, four.data());
  MaximizeValue(&fourView);
  EXPECT_EQ(four, (Bytes{0, 0, 0, 9, 63, 127, 255, 250, 255, 51, 0, 3}));
}

class LabelColouringTest : public ::testing::Test {
 protected:
  std::vector<unsigned int> ids = {0, 1, 7, 8};
  UserDataGenericBuffer<unsigned int> idImage{4, 1, 1, ids.data()};
};

TEST_F(LabelColouringTest, DefaultWheelPaintsIdsModuloItsSize) {
  Bytes colours(12, 99);
  UserDataGenericBuffer<unsigned char> destination(4, 1, 3, colours.data());
  Convert4BppIdsTo3BppColors(idImage, destination, DefaultColorWheel);
  EXPECT_EQ(colours, (Bytes{0, 0, 0, 50, 255, 50, 50, 50, 255, 50, 255, 50}));
}

TEST_F(LabelColouringTest, ClearingHonoursTheDestinationStride) {
  // Packed painting into a strided destination: the clear keeps padding.
  Bytes memory(2 * 8, 99);
  UserDataGenericBuffer<unsigned char> destination(0, 0, 0, false);
  destination.Reset(2, 2, 3, memory.data(), 8);
  Convert4BppIdsTo3BppColors(idImage, destination, DefaultColorWheel);
  EXPECT_EQ(memory, (Bytes{0, 0, 0, 50, 255, 50, 50, 50, 255, 50, 255, 50, 0, 0, 99, 99}));
}

TEST_F(LabelColouringTest, EmptyTableOrTooSmallDestinationWritesNothing) {
  Bytes colours(12, 99);
  UserDataGenericBuffer<unsigned char> destination(4, 1, 3, colours.data());
  Convert4BppIdsTo3BppColors(idImage, destination, {});
  EXPECT_EQ(colours, Bytes(12, 99));
  UserDataGenericBuffer<unsigned char> small(3, 1, 3, colours.data());
  Convert4BppIdsTo3BppColors(idImage, small, DefaultColorWheel);
  EXPECT_EQ(colours, Bytes(12, 99));
  UserDataGenericBuffer<unsigned char> none(4, 1, 3, false);
  Convert4BppIdsTo3BppColors(idImage, none, DefaultColorWheel);
}

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
