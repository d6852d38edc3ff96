#include <algorithm>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>
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

bool Supported(int s, int d) {
  return s == d || (s == 1 && (d == 3 || d == 4)) || (s == 3 && (d == 1 || d == 4)) ||
         (s == 4 && (d == 1 || d == 3));
}

// Independent rule for destination channel `c` of source pixel `p`.
template <typename T>
T ExpectedElement(const T* p, int s, int d, int c) {
  if (s == d) return p[c];
  if (d == 1) return static_cast<T>((std::uint32_t{p[0]} + p[1] + p[2]) / 3);
  if (c == 3) return T{0};
  return s == 1 ? p[0] : p[c];
}

// What the dispatchers leave in the destination; unsupported pairs, nothing.
template <typename T>
std::vector<T> Expected(const StridedPicture<T>& source, const StridedPicture<T>& destination,
                        bool flip) {
  std::vector<T> expected = destination.memory;
  const int s = source.view.channels, d = destination.view.channels;
  if (!Supported(s, d)) return expected;
  const int w = source.view.width, h = source.view.height;
  // The unflipped grey and expansion pairs treat both images as packed.
  const bool packed = !flip && s != d && (s == 1 || d == 1);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const long i = static_cast<long>(y) * w + x;
      const T* in = packed ? &source.memory[i * s] : &source.memory[y * source.stride + x * s];
      const int r = flip ? h - 1 - y : y;
      T* out = packed ? &expected[i * d] : &expected[r * destination.stride + x * d];
      for (int c = 0; c < d; ++c) out[c] = ExpectedElement(in, s, d, c);
    }
  }
  return expected;
}

template <typename T>
class ConvertColorTest : public ::testing::Test {};
using ConversionTypes = ::testing::Types<unsigned char, unsigned short>;
TYPED_TEST_SUITE(ConvertColorTest, ConversionTypes);

TYPED_TEST(ConvertColorTest, EveryPairMatchesThePerPixelRule) {
  using T = TypeParam;
  // {width, height, source padding, destination padding}; packed shapes
  // also go through the raw-pointer form the loader calls.
  const std::vector<std::vector<int>> shapes = {
      {35, 39, 0, 0}, {1, 1, 0, 0}, {77, 3, 0, 0}, {35, 39, 5, 3}, {17, 4, 0, 9}};
  for (const KernelChoice& choice : AllKernelChoices()) {
    KernelSelection selection(choice);
    for (const auto& shape : shapes) {
      const int w = shape[0], h = shape[1];
      for (int s = 1; s <= 5; ++s) {
        for (int d = 1; d <= 5; ++d) {
          for (bool flip : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << s << "->" << d << " flip " << flip << " " << choice.Name() << " " << w
                         << "x" << h << " pad " << shape[2] << "/" << shape[3]);
            StridedPicture<T> source(w, h, s, shape[2], 0);
            source.Scramble(static_cast<std::uint32_t>(s * 31 + d));
            StridedPicture<T> destination(w, h, d, shape[3], 7);
            const std::vector<T> expected = Expected(source, destination, flip);
            CvtColor<T>::ConvertColor(source.view, destination.view, flip);
            ASSERT_EQ(destination.memory, expected);
            ASSERT_EQ(destination.view.begin, destination.memory.data()) << "no re-dimension";
            if (shape[2] + shape[3] != 0) continue;
            StridedPicture<T> raw(w, h, d, 0, 7);
            CvtColor<T>::ConvertColor(source.memory.data(), raw.memory.data(), w, h, s, d, flip);
            ASSERT_EQ(raw.memory, expected);
          }
        }
      }
    }
  }
}

TYPED_TEST(ConvertColorTest, EqualChannelsGiveAnEmptyDestinationAPackedArray) {
  StridedPicture<TypeParam> source(35, 39, 3, 4, 0);
  source.Scramble(5);
  for (bool flip : {false, true}) {
    UserDataGenericBuffer<TypeParam> destination(0, 0, 3, false);
    CvtColor<TypeParam>::ConvertColor(source.view, destination, flip);
    ASSERT_EQ(destination.stride, 105);
    for (int y = 0; y < 39; ++y)
      for (int i = 0; i < 105; ++i)
        ASSERT_EQ(destination.begin[(flip ? 38 - y : y) * 105 + i],
                  source.memory[y * source.stride + i]);
  }
}

TYPED_TEST(ConvertColorTest, GreyAndUsing2RKeepTheirRounding) {
  using T = TypeParam;
  const T max = static_cast<T>(~T{0});
  const std::vector<T> pixels = {255, 255, 255, 1, 1, 0, 2, 2,   1,   0,  0,
                                 255, 255, 0,   0, 1, 1, 1, max, max, max};
  std::vector<T> grey(7), flipped(7), using2R(7);
  CvtColor<T>::ConvertColor(pixels.data(), grey.data(), 7, 1, 3, 1, false);
  CvtColor<T>::ConvertColor(pixels.data(), flipped.data(), 7, 1, 3, 1, true);
  EXPECT_EQ(grey, (std::vector<T>{255, 0, 1, 85, 85, 1, max}));
  EXPECT_EQ(flipped, grey);
  UserDataGenericBuffer<T> source(7, 1, 3, const_cast<T*>(pixels.data()));
  UserDataGenericBuffer<T> destination(7, 1, 1, using2R.data());
  CvtColor<T>::ConvertColor3BppTo1BppUsing2R(source, destination);
  EXPECT_EQ(using2R, (std::vector<T>{255, 0, 1, 127, 63, 1, max}));
  // Using2R (scrambled values reach the type's top) on strided images, padding kept.
  StridedPicture<T> strided(35, 39, 3, 5, 0);
  strided.Scramble(17);
  StridedPicture<T> out(35, 39, 1, 4, 3);
  CvtColor<T>::ConvertColor3BppTo1BppUsing2R(strided.view, out.view);
  for (int y = 0; y < 39; ++y) {
    for (int x = 0; x < 35; ++x) {
      const std::uint32_t sum =
          strided.At(x, y, 0) + strided.At(x, y, 1) + 2u * strided.At(x, y, 2);
      ASSERT_EQ(out.At(x, y, 0), static_cast<T>(sum >> 2));
    }
    for (int pad = 35; pad < out.stride; ++pad) ASSERT_EQ(out.memory[y * out.stride + pad], 3);
  }
}

TYPED_TEST(ConvertColorTest, ConvertToGreySizesAnEmptyDestinationAndKeepsAMatchingStride) {
  using T = TypeParam;
  for (int channels : {3, 4, 5}) {  // five channels read the first three
    StridedPicture<T> source(35, 39, channels, 2, 0);
    source.Scramble(11);
    UserDataGenericBuffer<T> fresh(0, 0, 0, false);
    CvtColor<T>::ConvertToGrey(source.view, fresh);
    ASSERT_EQ(fresh.channels, 1);
    ASSERT_EQ(fresh.stride, 35);
    StridedPicture<T> matching(35, 39, 1, 6, 0);
    CvtColor<T>::ConvertToGrey(source.view, matching.view);
    ASSERT_EQ(matching.view.begin, matching.memory.data());
    // Same width and height but three channels: re-dimensioned to grey.
    UserDataGenericBuffer<T> colour(35, 39, 3, true);
    CvtColor<T>::ConvertToGrey(source.view, colour);
    ASSERT_EQ(colour.channels, 1);
    ASSERT_EQ(colour.stride, 35);
    ASSERT_EQ(colour.end - colour.begin, 35 * 39);
    for (int y = 0; y < 39; ++y) {
      for (int x = 0; x < 35; ++x) {
        const T grey = static_cast<T>(
            (std::uint32_t{source.At(x, y, 0)} + source.At(x, y, 1) + source.At(x, y, 2)) / 3);
        ASSERT_EQ(fresh.begin[y * 35 + x], grey);
        ASSERT_EQ(matching.At(x, y, 0), grey);
        ASSERT_EQ(colour.begin[y * 35 + x], grey);
      }
    }
  }
  // One channel is copied as it is; two cannot be made grey.
  StridedPicture<T> one(3, 2, 1, 1, 0);
  one.Scramble(3);
  UserDataGenericBuffer<T> copied(3, 2, 3, true);
  CvtColor<T>::ConvertToGrey(one.view, copied);
  ASSERT_EQ(copied.channels, 1);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(copied.begin[y * 3 + x], one.At(x, y, 0));
  StridedPicture<T> two(3, 2, 2, 0, 0);
  UserDataGenericBuffer<T> untouched(0, 0, 0, false);
  CvtColor<T>::ConvertToGrey(two.view, untouched);
  EXPECT_EQ(untouched.begin, nullptr);
  EXPECT_EQ(untouched.channels, 0);
}

// The per-pair converters write nothing when either image lacks storage;
// the channel swaps do nothing below three channels on either side.
TYPED_TEST(ConvertColorTest, NothingIsWrittenWithoutStorageOrChannels) {
  using T = TypeParam;
  using C = CvtColor<T>;
  using Converter = void (*)(const ImageBase<T>&, ImageBase<T>&);
  const std::vector<std::tuple<Converter, int, int>> converters = {
      {&C::ConvertColor4BppTo1Bpp, 4, 1},        {&C::ConvertColor3BppTo1Bpp, 3, 1},
      {&C::ConvertColor1BppTo3Bpp, 1, 3},        {&C::ConvertColor1BppTo4Bpp, 1, 4},
      {&C::ConvertColor4BppTo3Bpp, 4, 3},        {&C::ConvertColor3BppTo4Bpp, 3, 4},
      {&C::ConvertColor3BppTo1BppUsing2R, 3, 1}, {&C::ConvertColor4BppTo3BppAndFlip, 4, 3},
      {&C::ConvertColor4BppTo1BppAndFlip, 4, 1}, {&C::ConvertColor3BppTo4BppAndFlip, 3, 4},
      {&C::ConvertColor3BppTo1BppAndFlip, 3, 1}, {&C::ConvertColor1BppTo3BppAndFlip, 1, 3},
      {&C::ConvertColor1BppTo4BppAndFlip, 1, 4}};
  for (const auto& [convert, s, d] : converters) {
    StridedPicture<T> source(5, 3, s, 1, 0);
    source.Scramble(7);
    StridedPicture<T> destination(5, 3, d, 1, 9);
    const std::vector<T> before = destination.memory;
    UserDataGenericBuffer<T> noSource(5, 3, s, false), noDestination(5, 3, d, false);
    convert(noSource, destination.view);
    convert(source.view, noDestination);
    EXPECT_EQ(destination.memory, before) << s << "->" << d;
    EXPECT_EQ(noDestination.begin, nullptr);
  }
  StridedPicture<T> two(5, 3, 2, 0, 0), three(5, 3, 3, 0, 0);
  two.Scramble(1);
  three.Scramble(2);
  const std::vector<T> twoBefore = two.memory, threeBefore = three.memory;
  C::ConvertRgbToBgr(two.view, three.view);
  C::ConvertRgbToBgr(three.view, two.view);
  C::ConvertRgbToBgrInPlace(two.view);
  UserDataGenericBuffer<T> bare(5, 3, 3, false);
  C::ConvertRgbToBgr(bare, three.view);
  C::ConvertRgbToBgrInPlace(bare);
  EXPECT_EQ(two.memory, twoBefore);
  EXPECT_EQ(three.memory, threeBefore);
}

TYPED_TEST(ConvertColorTest, SwappingRedAndBlueTwiceRestoresAndDropsTheFourthChannel) {
  using T = TypeParam;
  StridedPicture<T> source(35, 39, 4, 0, 0);
  source.Scramble(21);
  StridedPicture<T> swapped(35, 39, 3, 0, 5);
  CvtColor<T>::ConvertRgbToBgr(source.view, swapped.view);
  StridedPicture<T> back(35, 39, 4, 0, 5);
  CvtColor<T>::ConvertRgbToBgr(swapped.view, back.view);
  CvtColor<T>::ConvertRgbToBgrInPlace(back.view);
  CvtColor<T>::ConvertRgbToBgrInPlace(back.view);
  for (int x = 0; x < 35 * 39; ++x) {
    for (int c = 0; c < 3; ++c) {
      ASSERT_EQ(swapped.At(x, 0, c), source.At(x, 0, 2 - c));
      ASSERT_EQ(back.At(x, 0, c), source.At(x, 0, c));
    }
    ASSERT_EQ(back.At(x, 0, 3), 5) << "the fourth channel stays as it was";
  }
  // Fewer than three channels: nothing happens.
  StridedPicture<T> grey(4, 4, 2, 0, 0);
  grey.Scramble(1);
  const std::vector<T> before = grey.memory;
  CvtColor<T>::ConvertRgbToBgrInPlace(grey.view);
  CvtColor<T>::ConvertRgbToBgr(source.view, grey.view);
  EXPECT_EQ(grey.memory, before);
}

TYPED_TEST(ConvertColorTest, SplitChannelsFillsOnePlanePerChannelOrNothing) {
  using T = TypeParam;
  StridedPicture<T> source(35, 39, 3, 4, 0);
  source.Scramble(8);
  UserDataGenericBuffer<T> a(0, 0, 0, false), b(0, 0, 0, false);
  std::vector<ImageBase<T>*> tooFew = {&a, &b}, withNull = {&a, nullptr, &b};
  CvtColor<T>::SplitChannels(source.view, tooFew);
  CvtColor<T>::SplitChannels(source.view, withNull);
  EXPECT_EQ(a.width + b.width, 0);
  EXPECT_EQ(a.begin, nullptr);

  StridedPicture<T> matching(35, 39, 1, 3, 0);  // keeps its memory and stride
  UserDataGenericBuffer<T> third(2, 2, 3, true), extra(0, 0, 0, false);
  std::vector<ImageBase<T>*> planes = {&a, &matching.view, &third, &extra};
  CvtColor<T>::SplitChannels(source.view, planes);
  for (ImageBase<T>* plane : planes)
    ASSERT_EQ(plane->width * plane->height * plane->channels, 35 * 39);
  ASSERT_EQ(matching.view.begin, matching.memory.data());
  for (int y = 0; y < 39; ++y) {
    for (int x = 0; x < 35; ++x) {
      ASSERT_EQ(a.begin[y * 35 + x], source.At(x, y, 0));
      ASSERT_EQ(matching.At(x, y, 0), source.At(x, y, 1));
      ASSERT_EQ(third.begin[y * 35 + x], source.At(x, y, 2));
    }
  }
}

// Long rows at a misaligned start, so the aligned body, the head and the
// tail of every kernel run, cached and streamed, against the portable loops.
TEST(ConvertColorLargeTest, StreamingPathsMatchThePortableLoops) {
  constexpr int kWidth = 2049, kHeight = 40;
  for (auto [s, d] :
       std::vector<std::pair<int, int>>{{1, 3}, {1, 4}, {3, 1}, {4, 1}, {3, 4}, {4, 3}, {3, 3}}) {
    StridedPicture<unsigned char> source(kWidth, kHeight, s, 0, 0);
    source.Scramble(99);
    for (bool flip : {false, true}) {
      std::vector<unsigned char> portable;
      for (const KernelChoice& choice : AllKernelChoices()) {
        KernelSelection selection(choice);
        std::vector<unsigned char> out(static_cast<size_t>(kWidth) * kHeight * d + 1, 1);
        CvtColor<unsigned char>::ConvertColor(source.memory.data() + 1, out.data() + 1, kWidth,
                                              kHeight, s, d, flip);
        if (portable.empty()) portable = out;  // the first choice is the portable loops
        ASSERT_TRUE(out == portable) << s << "->" << d << " flip " << flip << " " << choice.Name();
      }
    }
  }
}

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

// Odd widths reach each row tail, odd strides move the row alignment, and 8
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

TEST_P(WhiteBalanceTest, WorkedLevels) {
  Bytes blue = {0, 9, 9, 1, 9, 9, 127, 9, 9, 128, 9, 9, 200, 9, 9};
  View view(5, 1, 3, blue.data());
  SetWhiteBalance(&view, 255, 255, 128);
  EXPECT_EQ(blue, (Bytes{0, 9, 9, 1, 9, 9, 253, 9, 9, 255, 9, 9, 255, 9, 9}));
  SetWhiteBalance(&view, 255, 255, 255);
  EXPECT_EQ(blue, (Bytes{0, 9, 9, 1, 9, 9, 253, 9, 9, 255, 9, 9, 255, 9, 9}));
  SetWhiteBalance(&view, 0, 255, 255);
  EXPECT_EQ(blue, (Bytes{0, 9, 255, 1, 9, 255, 253, 9, 255, 255, 9, 255, 255, 9, 255}));
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
  EXPECT_EQ(third, (Bytes{127, 127, 255, 255, 255, 255, 255, 255, 127, 255, 255, 255}));
}

// Fractions that would turn into a NaN, infinite or out-of-range threshold
// must neither loop for ever nor reach an integer conversion (the sanitizer
// build reports such a conversion).
TEST_P(WhiteBalanceTest, AutomaticLevelsAlwaysEndAndMayLeaveTheImageAlone) {
  Bytes image = {1, 2, 3, 4, 5, 6, 7, 8, 9, 250, 251, 252};
  const Bytes before = image;
  // No pixels: without storage, or with storage but no width or height.
  View empty(0, 0, 3, false);
  View noWidth(0, 4, 3, image.data()), noHeight(4, 0, 3, image.data());
  for (View* nothing : {&empty, &noWidth, &noHeight}) {
    AutoWhiteBalance(nothing, 0.0f);
    AutoWhiteBalance(nothing, 1.0f);
  }
  EXPECT_EQ(image, before);
  // A fraction no count can exceed, a negative threshold (level 255), huge,
  // infinite and NaN fractions: each ends and changes nothing.
  View view(4, 1, 3, image.data());
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  for (float fraction : {2.0f, 3.5f, -1.0f, 1e30f, -1e30f, kInfinity, -kInfinity,
                         std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::max(),
                         std::numeric_limits<float>::lowest()}) {
    AutoWhiteBalance(&view, fraction);
    ASSERT_EQ(image, before) << fraction;
  }
  // Fewer than three channels: every colour operation leaves the image alone.
  for (int channels : {1, 2}) {
    Bytes grey = {1, 2, 3, 4};
    View greyView(4 / channels, 1, channels, grey.data());
    SetWhiteBalance(&greyView, 1, 1, 1);
    AutoWhiteBalance(&greyView, 0.0f);
    MaximizeSaturationAndValue(&greyView);
    MaximizeValue(&greyView);
    EXPECT_EQ(grey, (Bytes{1, 2, 3, 4})) << channels;
  }
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
