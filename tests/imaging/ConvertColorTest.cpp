#include <cstdint>
#include <utility>
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
using testing_support::StridedPicture;

bool Supported(int s, int d) {
  return s == d || (s == 1 && (d == 3 || d == 4)) || (s == 3 && (d == 1 || d == 4)) ||
         (s == 4 && (d == 1 || d == 3));
}

// Independent rule for destination channel `c` of a pixel whose source
// elements are `p`.
template <typename T>
T ExpectedElement(const T* p, int s, int d, int c) {
  if (s == d) return p[c];
  if (d == 1) return static_cast<T>((std::uint32_t{p[0]} + p[1] + p[2]) / 3);
  if (c == 3) return T{0};
  return s == 1 ? p[0] : p[c];
}

// What the dispatchers must leave in the destination memory: unsupported
// pairs leave it untouched.
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

  // Using2R on strided images, padding kept.
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
    for (int y = 0; y < 39; ++y) {
      for (int x = 0; x < 35; ++x) {
        const T grey = static_cast<T>(
            (std::uint32_t{source.At(x, y, 0)} + source.At(x, y, 1) + source.At(x, y, 2)) / 3);
        ASSERT_EQ(fresh.begin[y * 35 + x], grey);
        ASSERT_EQ(matching.At(x, y, 0), grey);
      }
    }
  }
  StridedPicture<T> two(3, 2, 2, 0, 0);
  UserDataGenericBuffer<T> untouched(0, 0, 0, false);
  CvtColor<T>::ConvertToGrey(two.view, untouched);
  EXPECT_EQ(untouched.begin, nullptr);
  EXPECT_EQ(untouched.channels, 0);
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

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
