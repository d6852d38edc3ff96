#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageConversions.h"
#include "tests/support/StridedPicture.h"

namespace KVO {
namespace ImageConversions {
namespace {

using testing_support::AllKernelChoices;
using testing_support::KernelChoice;
using testing_support::KernelSelection;

using Bytes = std::vector<unsigned char>;
using View = UserDataGenericBuffer<unsigned char>;

// The white-balance rule for one value, computed independently.
unsigned char Balanced(unsigned char v, unsigned char level) {
  if (v >= level) return 255;
  return static_cast<unsigned char>(
      static_cast<int>(static_cast<float>(v) * (255.0f / static_cast<float>(level))));
}

class WhiteBalanceTest : public ::testing::TestWithParam<KernelChoice> {
 protected:
  WhiteBalanceTest() : selection(GetParam()) {}
  KernelSelection selection;
};

TEST_P(WhiteBalanceTest, EveryLevelMapsEveryValueByTheRule) {
  // 257 pixels (an odd tail after the vector body) whose channels hold every
  // value, so one call checks a whole table per channel; a fourth byte survives.
  for (int channels : {3, 4}) {
    Bytes before(257 * channels);
    for (int i = 0; i < 257; ++i) {
      const int values[4] = {i, 255 - i, i * 7, i ^ 0x5A};
      for (int c = 0; c < channels; ++c) before[channels * i + c] = values[c] & 0xFF;
    }
    for (int level = 0; level < 256; ++level) {
      Bytes image = before;
      View view(257, 1, channels, image.data());
      const unsigned char levels[3] = {static_cast<unsigned char>(level),
                                       static_cast<unsigned char>(255 - level),
                                       static_cast<unsigned char>(level / 2 + 64)};
      SetWhiteBalance(&view, levels[2], levels[1], levels[0]);
      for (size_t i = 0; i < image.size(); ++i) {
        const size_t c = i % channels;
        ASSERT_EQ(image[i], c == 3 ? before[i] : Balanced(before[i], levels[c]))
            << channels << " " << level << " " << i;
      }
    }
  }
}

TEST_P(WhiteBalanceTest, AutomaticLevelsFollowTheHistograms) {
  // Fraction 0: each channel's largest value becomes 255 (levels 40 and 100);
  // an all-zero channel gets level 0 and becomes 255 everywhere. Four-channel
  // histograms step over the fourth byte, which stays.
  Bytes three = {10, 0, 100, 20, 0, 50, 40, 0, 25, 30, 0, 75};
  Bytes four = {10, 0, 100, 7, 20, 0, 50, 8, 40, 0, 25, 9, 30, 0, 75, 200};
  View threeView(2, 2, 3, three.data()), fourView(2, 2, 4, four.data());
  AutoWhiteBalance(&threeView, 0.0f);
  AutoWhiteBalance(&fourView, 0.0f);
  EXPECT_EQ(three, (Bytes{63, 255, 255, 127, 255, 127, 255, 255, 63, 191, 255, 191}));
  EXPECT_EQ(four, (Bytes{63, 255, 255, 7, 127, 255, 127, 8, 255, 255, 63, 9, 191, 255, 191, 200}));
  // Fraction 1 over 4 pixels: threshold 2, so the level is the third largest
  // value of each channel.
  Bytes third = {10, 1, 100, 20, 2, 50, 40, 3, 25, 30, 4, 75};
  View view(2, 2, 3, third.data());
  AutoWhiteBalance(&view, 1.0f);
  EXPECT_EQ(third[0], Balanced(10, 20));
  EXPECT_EQ(third[4], Balanced(2, 2));
  EXPECT_EQ(third[2], Balanced(100, 50));
}

TEST_P(WhiteBalanceTest, AutomaticLevelsAlwaysEndAndMayLeaveTheImageAlone) {
  View empty(0, 0, 3, false);
  AutoWhiteBalance(&empty, 0.0f);
  AutoWhiteBalance(&empty, 1.0f);
  // A fraction no count can exceed, a negative threshold (level 255), huge
  // and NaN fractions: each ends and changes nothing.
  Bytes image = {1, 2, 3, 4, 5, 6, 7, 8, 9, 250, 251, 252};
  const Bytes before = image;
  View view(4, 1, 3, image.data());
  for (float fraction : {2.0f, 3.5f, -1.0f, 1e30f, -1e30f, std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()}) {
    AutoWhiteBalance(&view, fraction);
    ASSERT_EQ(image, before) << fraction;
  }
  // Fewer than three channels: every colour operation leaves the image alone.
  Bytes grey = {1, 2, 3, 4};
  View greyView(2, 1, 2, grey.data());
  SetWhiteBalance(&greyView, 1, 1, 1);
  AutoWhiteBalance(&greyView, 0.0f);
  MaximizeSaturationAndValue(&greyView);
  MaximizeValue(&greyView);
  EXPECT_EQ(grey, (Bytes{1, 2, 3, 4}));
}
INSTANTIATE_TEST_SUITE_P(Kernels, WhiteBalanceTest, ::testing::ValuesIn(AllKernelChoices(false)),
                         [](const auto& info) { return info.param.Name(); });

TEST(MaximizeTest, WorkedExamples) {
  Bytes image = {10, 20, 30, 7, 0, 0, 0, 7, 40, 40, 10, 7, 30, 10, 20, 7, 5, 9, 9, 7};
  View view(5, 1, 4, image.data());
  MaximizeSaturationAndValue(&view);
  EXPECT_EQ(image, (Bytes{0, 127, 255, 7, 255, 255, 255, 7,   255, 255,
                          0, 7,   255, 0, 127, 7,   0,   255, 255, 7}));

  Bytes three = {0, 0, 0, 10, 20, 40, 255, 1, 2};
  View threeView(3, 1, 3, three.data());
  MaximizeValue(&threeView);
  EXPECT_EQ(three, (Bytes{0, 0, 0, 63, 127, 255, 255, 1, 2}));
  Bytes four = {0, 0, 0, 9, 10, 20, 40, 250, 5, 1, 0, 3};
  View fourView(3, 1, 4, four.data());
  MaximizeValue(&fourView);
  EXPECT_EQ(four, (Bytes{0, 0, 0, 9, 63, 127, 255, 250, 255, 51, 0, 3}));
}

TEST(LabelColouringTest, DefaultWheelPaintsIdsModuloItsSizeOrNothing) {
  std::vector<unsigned int> ids = {0, 1, 7, 8};
  UserDataGenericBuffer<unsigned int> idImage(4, 1, 1, ids.data());
  const Bytes painted = {0, 0, 0, 50, 255, 50, 50, 50, 255, 50, 255, 50};
  Bytes colours(12, 99);
  View destination(4, 1, 3, colours.data());
  // An empty table, a destination too small for the packed pixels, one
  // without storage: nothing is written.
  Convert4BppIdsTo3BppColors(idImage, destination, {});
  View small(3, 1, 3, colours.data());
  Convert4BppIdsTo3BppColors(idImage, small, DefaultColorWheel);
  View none(4, 1, 3, false);
  Convert4BppIdsTo3BppColors(idImage, none, DefaultColorWheel);
  EXPECT_EQ(colours, Bytes(12, 99));
  Convert4BppIdsTo3BppColors(idImage, destination, DefaultColorWheel);
  EXPECT_EQ(colours, painted);

  // Packed painting into a strided destination: the clear keeps padding.
  Bytes memory(2 * 8, 99);
  View strided(0, 0, 0, false);
  strided.Reset(2, 2, 3, memory.data(), 8);
  Convert4BppIdsTo3BppColors(idImage, strided, DefaultColorWheel);
  Bytes expected = painted;
  expected.insert(expected.end(), {0, 0, 99, 99});
  EXPECT_EQ(memory, expected);
}

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
