#include <gtest/gtest.h>

#include <algorithm>
#include <boost/optional.hpp>
#include <cstdint>
#include <vector>

#include "imaging/ImageConversions.h"
#include "tests/imaging/StridedPicture.h"

namespace KVO {
namespace ImageConversions {
namespace {

using testing_support::AllKernelAndStoreChoices;
using testing_support::KernelChoice;
using testing_support::KernelSelection;
using testing_support::StridedPicture;

template <typename T>
class FlipTest : public ::testing::Test {
 protected:
  // Element (x, c) of row y as a picture stores it.
  static T At(const StridedPicture<T>& p, int x, int y, int c) {
    return p.memory[static_cast<size_t>(y) * p.stride + x * p.view.channels + c];
  }
};

using IntegerTypes = ::testing::Types<signed char, unsigned char, short, unsigned short, int,
                                      unsigned int, long, unsigned long>;
TYPED_TEST_SUITE(FlipTest, IntegerTypes);

TYPED_TEST(FlipTest, VerticalFlipMirrorsRowsAndKeepsTheDestinationStride) {
  for (int channels : {1, 3, 4}) {
    SCOPED_TRACE(channels);
    StridedPicture<TypeParam> source(35, 39, channels, 3, 0);
    source.Scramble(static_cast<std::uint32_t>(channels));
    StridedPicture<TypeParam> destination(35, 39, channels, 5, 9);
    FlipVertically(source.view, destination.view);
    ASSERT_EQ(destination.view.begin, destination.memory.data());
    ASSERT_EQ(destination.view.stride, 35 * channels + 5);
    for (int y = 0; y < 39; ++y) {
      for (int x = 0; x < 35; ++x) {
        for (int c = 0; c < channels; ++c) {
          ASSERT_EQ(this->At(destination, x, y, c), this->At(source, x, 38 - y, c));
        }
      }
      for (int pad = 0; pad < 5; ++pad) {
        ASSERT_EQ(destination.memory[y * destination.stride + 35 * channels + pad], 9);
      }
    }

    UserDataGenericBuffer<TypeParam> twice(0, 0, 0, false);
    FlipVertically<TypeParam>(destination.view, twice);
    ASSERT_EQ(twice.stride, 35 * channels);
    for (int y = 0; y < 39; ++y) {
      for (int i = 0; i < 35 * channels; ++i) {
        ASSERT_EQ(twice.begin[y * twice.stride + i], source.memory[y * source.stride + i]);
      }
    }
  }
}

TYPED_TEST(FlipTest, MatchingDestinationWithoutStorageGetsAnArray) {
  StridedPicture<TypeParam> source(5, 3, 2, 1, 0);
  source.Scramble(4);
  UserDataGenericBuffer<TypeParam> vertical(5, 3, 2, false);
  UserDataGenericBuffer<TypeParam> horizontal(5, 3, 2, false);
  FlipVertically<TypeParam>(source.view, vertical);
  FlipHorizontally<TypeParam>(source.view, horizontal);
  ASSERT_NE(vertical.begin, nullptr);
  ASSERT_NE(horizontal.begin, nullptr);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 5; ++x) {
      for (int c = 0; c < 2; ++c) {
        ASSERT_EQ(vertical.begin[y * 10 + x * 2 + c], this->At(source, x, 2 - y, c));
        ASSERT_EQ(horizontal.begin[y * 10 + x * 2 + c], this->At(source, 4 - x, y, c));
      }
    }
  }
}

TYPED_TEST(FlipTest, EmptySourceResizesButWritesNothing) {
  StridedPicture<TypeParam> source(0, 4, 3, 0, 0);
  UserDataGenericBuffer<TypeParam> destination(2, 2, 3, true);
  FlipVertically<TypeParam>(source.view, destination);
  EXPECT_EQ(destination.width, 0);
  EXPECT_EQ(destination.height, 4);
  EXPECT_EQ(destination.begin, destination.end);

  StridedPicture<TypeParam> flat(5, 0, 1, 0, 0);
  FlipHorizontally<TypeParam>(flat.view, destination);
  EXPECT_EQ(destination.height, 0);
}

TYPED_TEST(FlipTest, HorizontalFlipMirrorsWholePixels) {
  for (int channels : {1, 2, 3, 4}) {
    SCOPED_TRACE(channels);
    StridedPicture<TypeParam> source(35, 39, channels, 2, 0);
    source.Scramble(static_cast<std::uint32_t>(channels + 40));
    StridedPicture<TypeParam> destination(35, 39, channels, 1, 0);
    FlipHorizontally(source.view, destination.view);
    for (int y = 0; y < 39; ++y) {
      for (int x = 0; x < 35; ++x) {
        for (int c = 0; c < channels; ++c) {
          ASSERT_EQ(this->At(destination, x, y, c), this->At(source, 34 - x, y, c));
        }
      }
    }
    UserDataGenericBuffer<TypeParam> back(0, 0, 0, false);
    FlipHorizontally<TypeParam>(destination.view, back);
    for (int y = 0; y < 39; ++y) {
      for (int i = 0; i < 35 * channels; ++i) {
        ASSERT_EQ(back.begin[y * back.stride + i], source.memory[y * source.stride + i]);
      }
    }
  }

  std::vector<TypeParam> row = {1, 2, 3};
  UserDataGenericBuffer<TypeParam> single(3, 1, 1, row.data());
  UserDataGenericBuffer<TypeParam> mirrored(0, 0, 0, false);
  FlipHorizontally<TypeParam>(single, mirrored);
  EXPECT_EQ(std::vector<TypeParam>(mirrored.begin, mirrored.end),
            (std::vector<TypeParam>{3, 2, 1}));
}

class FlipInPlaceTest : public ::testing::TestWithParam<int> {};

TEST_P(FlipInPlaceTest, MatchesTheCopyingFlipWithAndWithoutScratch) {
  const int height = GetParam();
  StridedPicture<unsigned char> original(35, height, 3, 7, 0);
  original.Scramble(static_cast<std::uint32_t>(height));
  UserDataGenericBuffer<unsigned char> expected(0, 0, 0, false);
  FlipVertically<unsigned char>(original.view, expected);

  std::vector<unsigned char> scratch(105, 0);
  // No scratch, a scratch row, and an optional holding a null pointer
  // (which must fall back to a temporary row).
  const std::vector<boost::optional<unsigned char*>> scratches = {
      boost::none, scratch.data(), static_cast<unsigned char*>(nullptr)};
  for (const boost::optional<unsigned char*>& row : scratches) {
    StridedPicture<unsigned char> image(35, height, 3, 7, 0);
    image.memory = original.memory;
    image.view.Reset(35, height, 3, image.memory.data(), image.stride);
    FlipVerticallyInPlace(image.view, row);
    for (int y = 0; y < height; ++y) {
      for (int i = 0; i < 105; ++i) {
        ASSERT_EQ(image.memory[y * image.stride + i], expected.begin[y * 105 + i]);
      }
      for (int pad = 105; pad < image.stride; ++pad) {
        ASSERT_EQ(image.memory[y * image.stride + pad], original.memory[y * image.stride + pad]);
      }
    }
  }
}
INSTANTIATE_TEST_SUITE_P(Heights, FlipInPlaceTest, ::testing::Values(0, 1, 2, 4, 5, 39));

TEST(RawFlipTest, FirstSourceRowBecomesTheLastDestinationRow) {
  for (const KernelChoice& choice : AllKernelAndStoreChoices()) {
    KernelSelection selection(choice.kernels, choice.streamAlways);
    // Rows long enough for the vector copy, misaligned on purpose.
    for (auto [width, height] : std::vector<std::pair<int, int>>{{35, 39}, {1537, 64}}) {
      std::vector<unsigned char> source(static_cast<size_t>(width) * height * 3 + 1);
      std::uint32_t seed = 5;
      for (unsigned char& v : source)
        v = static_cast<unsigned char>((seed = seed * 69069u + 1u) >> 24);
      std::vector<unsigned char> destination(source.size(), 0);
      FlipVertically(source.data() + 1, destination.data() + 1, width, height, 3);
      const size_t row = static_cast<size_t>(width) * 3;
      for (int y = 0; y < height; ++y) {
        ASSERT_TRUE(std::equal(destination.begin() + 1 + y * row,
                               destination.begin() + 1 + (y + 1) * row,
                               source.begin() + 1 + (height - 1 - y) * row))
            << y;
      }
      ASSERT_EQ(destination[0], 0);
    }
  }
}

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
