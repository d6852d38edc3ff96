#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/ImageConversions.h"
#include "tests/imaging/StridedPicture.h"

namespace KVO {
namespace ImageConversions {
namespace {

using testing_support::AllKernelAndStoreChoices;
using testing_support::KernelChoice;
using testing_support::KernelName;
using testing_support::KernelSelection;
using testing_support::StridedPicture;

bool Supported(int s, int d) {
  if (s == d) return true;
  return (s == 1 && (d == 3 || d == 4)) || (s == 3 && (d == 1 || d == 4)) ||
         (s == 4 && (d == 1 || d == 3));
}

// Independent rule for destination channel `c` of a pixel whose source
// elements are `p`.
template <typename T>
T ExpectedElement(const T* p, int s, int d, int c) {
  if (s == d) return p[c];
  if (d == 1) return static_cast<T>((std::uint32_t{p[0]} + p[1] + p[2]) / 3);
  if (s == 1) return c < 3 ? p[0] : T{0};
  return c < 3 ? p[c] : T{0};
}

// What the dispatchers must leave in the destination memory.
template <typename T>
std::vector<T> Expected(const StridedPicture<T>& source, const StridedPicture<T>& destination,
                        bool flip) {
  std::vector<T> expected = destination.memory;
  const int s = source.view.channels;
  const int d = destination.view.channels;
  if (!Supported(s, d)) return expected;
  const int w = source.view.width;
  const int h = source.view.height;
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

struct Shape {
  int width;
  int height;
  int sourcePadding;
  int destinationPadding;
};

template <typename T>
class ConvertColorTest : public ::testing::Test {
 protected:
  using Cvt = CvtColor<T>;

  // Every pair of channel counts 1..5, flipped and not, through both image
  // dispatchers, on packed and strided images, with every kernel set.
  void CheckAllPairs(const Shape& shape) {
    for (const KernelChoice& choice : AllKernelAndStoreChoices()) {
      KernelSelection selection(choice.kernels, choice.streamAlways);
      for (int s = 1; s <= 5; ++s) {
        for (int d = 1; d <= 5; ++d) {
          for (bool flip : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << s << "->" << d << " flip " << flip << " " << KernelName(choice.kernels)
                         << (choice.streamAlways ? " streamed " : " ") << shape.width << "x"
                         << shape.height << " pad " << shape.sourcePadding << "/"
                         << shape.destinationPadding);
            StridedPicture<T> source(shape.width, shape.height, s, shape.sourcePadding, 0);
            source.Scramble(static_cast<std::uint32_t>(s * 31 + d));
            StridedPicture<T> destination(shape.width, shape.height, d, shape.destinationPadding,
                                          7);
            const std::vector<T> expected = Expected(source, destination, flip);
            if (flip) {
              Cvt::ConvertColor(source.view, destination.view, true);
            } else {
              Cvt::ConvertColor(source.view, destination.view);
            }
            ASSERT_EQ(destination.memory, expected);
            ASSERT_EQ(destination.view.begin, destination.memory.data()) << "no re-dimension";
          }
        }
      }
    }
  }
};

using ConversionTypes = ::testing::Types<unsigned char, unsigned short>;
TYPED_TEST_SUITE(ConvertColorTest, ConversionTypes);

TYPED_TEST(ConvertColorTest, EveryPairMatchesThePerPixelRuleOnPackedImages) {
  this->CheckAllPairs({35, 39, 0, 0});
  this->CheckAllPairs({1, 1, 0, 0});
  this->CheckAllPairs({77, 3, 0, 0});
}

TYPED_TEST(ConvertColorTest, EveryPairMatchesThePerPixelRuleOnStridedImages) {
  this->CheckAllPairs({35, 39, 5, 3});
  this->CheckAllPairs({17, 4, 0, 9});
}

TYPED_TEST(ConvertColorTest, RawPointerFormConvertsPackedCallerBuffers) {
  for (const KernelChoice& choice : AllKernelAndStoreChoices()) {
    KernelSelection selection(choice.kernels, choice.streamAlways);
    for (int s = 1; s <= 5; ++s) {
      for (int d = 1; d <= 5; ++d) {
        for (bool flip : {false, true}) {
          SCOPED_TRACE(::testing::Message() << s << "->" << d << " flip " << flip);
          StridedPicture<TypeParam> source(35, 39, s, 0, 0);
          source.Scramble(static_cast<std::uint32_t>(d * 7 + s));
          StridedPicture<TypeParam> destination(35, 39, d, 0, 3);
          const std::vector<TypeParam> expected = Expected(source, destination, flip);
          CvtColor<TypeParam>::ConvertColor(source.memory.data(), destination.memory.data(), 35, 39,
                                            s, d, flip);
          ASSERT_EQ(destination.memory, expected);
        }
      }
    }
  }
}

TYPED_TEST(ConvertColorTest, EqualChannelsResizeAnEmptyDestination) {
  StridedPicture<TypeParam> source(35, 39, 3, 4, 0);
  source.Scramble(5);
  for (bool flip : {false, true}) {
    UserDataGenericBuffer<TypeParam> destination(0, 0, 3, false);
    CvtColor<TypeParam>::ConvertColor(source.view, destination, flip);
    ASSERT_EQ(destination.width, 35);
    ASSERT_EQ(destination.stride, 105);
    for (int y = 0; y < 39; ++y) {
      const int r = flip ? 38 - y : y;
      for (int i = 0; i < 105; ++i) {
        ASSERT_EQ(destination.begin[r * 105 + i], source.memory[y * source.stride + i]);
      }
    }
  }
}

TYPED_TEST(ConvertColorTest, UnsupportedPairsNeverWriteTheDestination) {
  // A one-channel destination of two bytes per pixel: writing four channels
  // per pixel would overrun it (the sanitizer build catches that).
  for (int s : {1, 3}) {
    for (int d : {2, 5, 6}) {
      std::vector<TypeParam> source(static_cast<size_t>(9 * 9 * s), 1);
      std::vector<TypeParam> destination(static_cast<size_t>(9 * 9 * d), 9);
      for (bool flip : {false, true}) {
        CvtColor<TypeParam>::ConvertColor(source.data(), destination.data(), 9, 9, s, d, flip);
      }
      for (TypeParam v : destination) ASSERT_EQ(v, 9);
    }
  }
}

TYPED_TEST(ConvertColorTest, GreyAndUsing2RKeepTheirRounding) {
  using T = TypeParam;
  const T max = static_cast<T>(~T{0});
  const std::vector<T> pixels = {255, 255, 255, 1, 1, 0, 2, 2,   1,   0,  0,
                                 255, 255, 0,   0, 1, 1, 1, max, max, max};
  std::vector<T> grey(7), flipped(7), using2R(7), viaImage(7);
  CvtColor<T>::ConvertColor(pixels.data(), grey.data(), 7, 1, 3, 1, false);
  CvtColor<T>::ConvertColor(pixels.data(), flipped.data(), 7, 1, 3, 1, true);
  EXPECT_EQ(grey, (std::vector<T>{255, 0, 1, 85, 85, 1, max}));
  EXPECT_EQ(flipped, grey);

  UserDataGenericBuffer<T> source(7, 1, 3, const_cast<T*>(pixels.data()));
  UserDataGenericBuffer<T> destination(7, 1, 1, using2R.data());
  CvtColor<T>::ConvertColor3BppTo1BppUsing2R(source, destination);
  EXPECT_EQ(using2R, (std::vector<T>{255, 0, 1, 127, 63, 1, max}));

  UserDataGenericBuffer<T> greyImage(0, 0, 0, false);
  CvtColor<T>::ConvertToGrey(source, greyImage);
  EXPECT_EQ(std::vector<T>(greyImage.begin, greyImage.end), grey);
}

TYPED_TEST(ConvertColorTest, Using2RHonoursBothStrides) {
  using T = TypeParam;
  StridedPicture<T> source(35, 39, 3, 5, 0);
  source.Scramble(17);
  StridedPicture<T> destination(35, 39, 1, 4, 3);
  CvtColor<T>::ConvertColor3BppTo1BppUsing2R(source.view, destination.view);
  for (int y = 0; y < 39; ++y) {
    for (int x = 0; x < 35; ++x) {
      const T* p = &source.memory[y * source.stride + x * 3];
      ASSERT_EQ(destination.memory[y * destination.stride + x],
                static_cast<T>((std::uint32_t{p[0]} + p[1] + 2 * std::uint32_t{p[2]}) >> 2));
    }
    for (int pad = 35; pad < destination.stride; ++pad) {
      ASSERT_EQ(destination.memory[y * destination.stride + pad], 3);
    }
  }
}

TYPED_TEST(ConvertColorTest, ConvertToGreySizesAnEmptyDestinationAndKeepsAMatchingStride) {
  using T = TypeParam;
  StridedPicture<T> source(35, 39, 4, 2, 0);
  source.Scramble(11);
  UserDataGenericBuffer<T> fresh(0, 0, 0, false);
  CvtColor<T>::ConvertToGrey(source.view, fresh);
  ASSERT_EQ(fresh.width, 35);
  ASSERT_EQ(fresh.height, 39);
  ASSERT_EQ(fresh.channels, 1);
  ASSERT_EQ(fresh.stride, 35);

  StridedPicture<T> matching(35, 39, 1, 6, 0);
  const T* memory = matching.memory.data();
  CvtColor<T>::ConvertToGrey(source.view, matching.view);
  ASSERT_EQ(matching.view.begin, memory);
  ASSERT_EQ(matching.view.stride, 41);
  for (int y = 0; y < 39; ++y) {
    for (int x = 0; x < 35; ++x) {
      const T* p = &source.memory[y * source.stride + x * 4];
      const T expected = static_cast<T>((std::uint32_t{p[0]} + p[1] + p[2]) / 3);
      ASSERT_EQ(fresh.begin[y * 35 + x], expected);
      ASSERT_EQ(matching.view.begin[y * 41 + x], expected);
    }
  }

  // Five channels read the first three; two channels do nothing.
  StridedPicture<T> five(3, 2, 5, 0, 0);
  five.Scramble(3);
  UserDataGenericBuffer<T> greyFive(0, 0, 0, false);
  CvtColor<T>::ConvertToGrey(five.view, greyFive);
  EXPECT_EQ(
      greyFive.begin[4],
      static_cast<T>((std::uint32_t{five.memory[20]} + five.memory[21] + five.memory[22]) / 3));
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
  for (int i = 0; i < 35 * 39; ++i) {
    ASSERT_EQ(swapped.memory[3 * i], source.memory[4 * i + 2]);
    ASSERT_EQ(swapped.memory[3 * i + 1], source.memory[4 * i + 1]);
    ASSERT_EQ(swapped.memory[3 * i + 2], source.memory[4 * i]);
  }
  StridedPicture<T> back(35, 39, 4, 0, 5);
  CvtColor<T>::ConvertRgbToBgr(swapped.view, back.view);
  CvtColor<T>::ConvertRgbToBgrInPlace(back.view);
  CvtColor<T>::ConvertRgbToBgrInPlace(back.view);
  for (int i = 0; i < 35 * 39; ++i) {
    for (int c = 0; c < 3; ++c) ASSERT_EQ(back.memory[4 * i + c], source.memory[4 * i + c]);
    ASSERT_EQ(back.memory[4 * i + 3], 5) << "the fourth channel stays as it was";
  }

  StridedPicture<T> grey(4, 4, 2, 0, 0);
  grey.Scramble(1);
  const std::vector<T> before = grey.memory;
  CvtColor<T>::ConvertRgbToBgrInPlace(grey.view);
  CvtColor<T>::ConvertRgbToBgr(source.view, grey.view);
  EXPECT_EQ(grey.memory, before);
}

TYPED_TEST(ConvertColorTest, SplitChannelsFillsOnePlanePerChannel) {
  using T = TypeParam;
  StridedPicture<T> source(35, 39, 3, 4, 0);
  source.Scramble(8);
  StridedPicture<T> matching(35, 39, 1, 3, 0);
  const T* matchingMemory = matching.memory.data();
  UserDataGenericBuffer<T> first(0, 0, 0, false);
  UserDataGenericBuffer<T> third(2, 2, 3, true);
  UserDataGenericBuffer<T> extra(0, 0, 0, false);
  std::vector<ImageBase<T>*> planes = {&first, &matching.view, &third, &extra};

  CvtColor<T>::SplitChannels(source.view, planes);

  for (ImageBase<T>* plane : planes) {
    ASSERT_EQ(plane->width, 35);
    ASSERT_EQ(plane->height, 39);
    ASSERT_EQ(plane->channels, 1);
  }
  ASSERT_EQ(matching.view.begin, matchingMemory);
  ASSERT_EQ(matching.view.stride, 38);
  for (int y = 0; y < 39; ++y) {
    for (int x = 0; x < 35; ++x) {
      const T* p = &source.memory[y * source.stride + x * 3];
      ASSERT_EQ(first.begin[y * 35 + x], p[0]);
      ASSERT_EQ(matching.view.begin[y * 38 + x], p[1]);
      ASSERT_EQ(third.begin[y * 35 + x], p[2]);
    }
  }
}

TYPED_TEST(ConvertColorTest, SplitChannelsWithTooFewOrNullPlanesDoesNothing) {
  using T = TypeParam;
  StridedPicture<T> source(5, 5, 3, 0, 0);
  UserDataGenericBuffer<T> a(0, 0, 0, false);
  UserDataGenericBuffer<T> b(0, 0, 0, false);
  std::vector<ImageBase<T>*> tooFew = {&a, &b};
  CvtColor<T>::SplitChannels(source.view, tooFew);
  std::vector<ImageBase<T>*> withNull = {&a, nullptr, &b};
  CvtColor<T>::SplitChannels(source.view, withNull);
  EXPECT_EQ(a.width, 0);
  EXPECT_EQ(b.width, 0);
  EXPECT_EQ(a.begin, nullptr);
}

// Long rows at a misaligned start, so the aligned body, the head and the
// tail of every kernel all run, cached and streamed; the portable loops,
// checked against the per-pixel rule above, are the reference.
TEST(ConvertColorLargeTest, StreamingPathsMatchThePortableLoops) {
  constexpr int kWidth = 2049;
  constexpr int kHeight = 40;
  for (auto [s, d] :
       std::vector<std::pair<int, int>>{{1, 3}, {1, 4}, {3, 1}, {4, 1}, {3, 4}, {4, 3}, {3, 3}}) {
    std::vector<unsigned char> source(static_cast<size_t>(kWidth) * kHeight * s + 1);
    std::uint32_t seed = 99;
    for (unsigned char& v : source) {
      v = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16);
    }
    const size_t destinationSize = static_cast<size_t>(kWidth) * kHeight * d + 1;
    for (bool flip : {false, true}) {
      std::vector<unsigned char> portable(destinationSize, 1);
      {
        KernelSelection selection(nullptr);
        CvtColor<unsigned char>::ConvertColor(source.data() + 1, portable.data() + 1, kWidth,
                                              kHeight, s, d, flip);
      }
      for (const KernelChoice& choice : AllKernelAndStoreChoices()) {
        if (choice.kernels == nullptr) continue;
        SCOPED_TRACE(::testing::Message()
                     << s << "->" << d << " flip " << flip << " " << KernelName(choice.kernels)
                     << " streamed " << choice.streamAlways);
        KernelSelection selection(choice.kernels, choice.streamAlways);
        std::vector<unsigned char> fast(destinationSize, 1);
        CvtColor<unsigned char>::ConvertColor(source.data() + 1, fast.data() + 1, kWidth, kHeight,
                                              s, d, flip);
        ASSERT_TRUE(fast == portable);
      }
    }
  }
}

}  // namespace
}  // namespace ImageConversions
}  // namespace KVO
