#include <gtest/gtest.h>

#include <string>

#include "imaging/ImageLoader.h"
#include "imaging/UserDataImageBuffer.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

constexpr int kWidth = 5;  // 15-byte rows: the file pads them
constexpr int kHeight = 3;
constexpr int kChannels = 3;

// Whether the file stores its rows top-down, which the loader flips.
class LoadIntoStorageLessImage : public ::testing::TestWithParam<bool> {};

// An image of the file's size whose storage was never allocated (or was
// freed) must be given an array, not have the pixels written through null.
TEST_P(LoadIntoStorageLessImage, GivesItAnArrayOfItsOwn) {
  testsupport::TempDir dir;
  const std::string path = dir.Path("picture.bmp");
  const Bytes pixels = testsupport::MakePicture(kWidth, kHeight, kChannels, 3);
  testsupport::WriteBmp(path, kWidth, kHeight, kChannels, pixels, GetParam());

  KVO::UserDataGenericBuffer<unsigned char> image(kWidth, kHeight, kChannels, false);
  KVO::ImageLoader loader;
  ASSERT_TRUE(loader.Load(path, image));
  ASSERT_NE(nullptr, image.begin);
  EXPECT_EQ(pixels, Bytes(image.begin, image.begin + pixels.size()));
}

INSTANTIATE_TEST_SUITE_P(RowOrders, LoadIntoStorageLessImage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("TopDown") : std::string("BottomUp");
                         });

}  // namespace
