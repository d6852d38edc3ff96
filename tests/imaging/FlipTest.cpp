#include <algorithm>
#include <cstdint>
#include <vector>

#include <boost/optional.hpp>
#include <gtest/gtest.h>

#include "imaging/ImageConversions.h"
#include "tests/support/StridedPicture.h"

namespace KVO {
namespace ImageConversions {
namespace {

using testing_support::AllKernelChoices;
using testing_support::KernelChoice;
using testing_support::KernelSelection;
using testing_support::StridedPicture;

template <typename T>
class FlipTest : public ::testing::Test {
 protected:
  // Checks `out` against `in` with x or y mirrored, element by element.
  static void ExpectMirrored(const ImageBase<T>& out, const StridedPicture<T>& in, bool vertical) {
    const int w = in.view.width, h = in.view.height, n = in.view.channels;
    ASSERT_EQ(out.width * out.height * out.channels, w * h * n);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < n; ++c)
          ASSERT_EQ(out.begin[y * out.stride + x * n + c],
                    vertical ? in.At(x, h - 1 - y, c) : in.At(w - 1 - x, y, c));
  }
};

using IntegerTypes = ::testing::Types<signed char, unsigned char, short, unsigned short, int,
                                      unsigned int, long, unsigned long>;
TYPED_TEST_SUITE(FlipTest, IntegerTypes);

TYPED_TEST(FlipTest, FlipsMirrorWholePixelsAndKeepTheDestinationStride) {
  for (int channels : {1, 2, 3, 4}) {
    for (bool vertical : {true, false}) {
      SCOPED_TRACE(::testing::Message() << channels << (vertical ? " vertical" : " horizontal"));
      StridedPicture<TypeParam> source(35, 39, channels, 3, 0);
      source.Scramble(static_cast<std::uint32_t>(channels));
      StridedPicture<TypeParam> destination(35, 39, channels, 5, 9);
      vertical ? FlipVertically(source.view, destination.view)
               : FlipHorizontally(source.view, destination.view);
      ASSERT_EQ(destination.view.begin, destination.memory.data());
      this->ExpectMirrored(destination.view, source, vertical);
      for (int y = 0; y < 39; ++y)
        for (int pad = 35 * channels; pad < destination.stride; ++pad)
          ASSERT_EQ(destination.memory[y * destination.stride + pad], 9);
      // Storage-less destinations, empty or matching, get an array.
      for (int width : {0, 35}) {
        UserDataGenericBuffer<TypeParam> fresh(width, width == 0 ? 0 : 39, channels, false);
        vertical ? FlipVertically<TypeParam>(source.view, fresh)
                 : FlipHorizontally<TypeParam>(source.view, fresh);
        ASSERT_EQ(fresh.stride, 35 * channels);
        this->ExpectMirrored(fresh, source, vertical);
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

class FlipInPlaceTest : public ::testing::TestWithParam<int> {};

TEST_P(FlipInPlaceTest, MatchesTheCopyingFlipWithAndWithoutScratch) {
  const int height = GetParam();
  StridedPicture<unsigned char> original(35, height, 3, 7, 0);
  original.Scramble(static_cast<std::uint32_t>(height));
  std::vector<unsigned char> scratch(105, 0);
  for (const KernelChoice& choice : AllKernelChoices(false))
    for (const boost::optional<unsigned char*>& row : std::vector<boost::optional<unsigned char*>>{
             boost::none, scratch.data(), static_cast<unsigned char*>(nullptr)}) {
      KernelSelection selection(choice);
      StridedPicture<unsigned char> image(35, height, 3, 7, 0);
      image.memory = original.memory;
      image.view.Reset(35, height, 3, image.memory.data(), image.stride);
      FlipVerticallyInPlace(image.view, row);
      for (int y = 0; y < height; ++y) {
        for (int i = 0; i < image.stride; ++i) {  // padding stays in its row
          const int from = i < 105 ? height - 1 - y : y;
          ASSERT_EQ(image.memory[y * image.stride + i], original.memory[from * image.stride + i]);
        }
      }
    }
}
INSTANTIATE_TEST_SUITE_P(Heights, FlipInPlaceTest, ::testing::Values(0, 1, 2, 4, 5, 39));

// Every kernel set against the portable loops: odd
// widths reach each row tail, odd strides move the row alignment, and 8
// channels give the 8-byte pixels.
TEST(HorizontalFlipKernelTest, EveryKernelSetMatchesThePortableLoops) {
  for (int width : {1, 31, 33, 35, 1921}) {
    for (int channels : {1, 2, 3, 4, 8}) {
      StridedPicture<unsigned char> source(width, 3, channels, 5, 0);
      source.Scramble(static_cast<std::uint32_t>(width * channels));
      std::vector<unsigned char> expected;
      for (const KernelChoice& choice : AllKernelChoices(false)) {
        KernelSelection selection(choice);
        StridedPicture<unsigned char> destination(width, 3, channels, 3, 7);
        FlipHorizontally<unsigned char>(source.view, destination.view);
        if (choice.kernels == nullptr) expected = destination.memory;
        ASSERT_EQ(destination.memory, expected) << width << "x" << channels << " " << choice.Name();
      }
    }
  }
}

TEST(RawFlipTest, FirstSourceRowBecomesTheLastDestinationRow) {
  for (const KernelChoice& choice : AllKernelChoices()) {
    KernelSelection selection(choice);
    // Rows long enough for the vector copy, misaligned on purpose.
    for (auto [width, height] : std::vector<std::pair<int, int>>{{35, 39}, {1537, 64}}) {
      StridedPicture<unsigned char> source(width, height, 3, 0, 0);
      source.Scramble(5);
      std::vector<unsigned char> destination(source.memory.size(), 0);
      FlipVertically(source.memory.data() + 1, destination.data() + 1, width, height, 3);
      const size_t row = static_cast<size_t>(width) * 3;
      for (int y = 0; y < height; ++y) {
        ASSERT_TRUE(std::equal(destination.begin() + 1 + y * row,
                               destination.begin() + 1 + (y + 1) * row,
                               source.memory.begin() + 1 + (height - 1 - y) * row))
            << y << " " << choice.Name();
      }
      ASSERT_EQ(destination[0], 0);
    }
  }
}

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
