#include <memory>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "imaging/UserDataImageBuffer.h"

namespace KVO {
namespace {

using ElementTypes = ::testing::Types<unsigned char, unsigned short, unsigned int, unsigned long,
                                      signed char, short, int, long, float, double, bool>;

template <typename T>
using Buf = UserDataGenericBuffer<T>;

template <typename T>
class ImageBufferTest : public ::testing::Test {
 protected:
  // Distinct values per element index (bool alternates); 99 marks untouched memory.
  static T Value(int i) { return static_cast<T>(std::is_same_v<T, bool> ? i % 2 : i % 97 + 1); }
  static T Marker() { return static_cast<T>(99); }

  static void FillRows(ImageBase<T>& image) {
    const int row = image.width * image.channels;
    for (int y = 0; y < image.height; ++y)
      for (int i = 0; i < row; ++i) image.begin[y * image.stride + i] = Value(y * row + i);
  }
  static void ExpectRows(const ImageBase<T>& image, int rowLength) {
    ASSERT_EQ(image.width * image.channels, rowLength);
    for (int y = 0; y < image.height; ++y)
      for (int i = 0; i < rowLength; ++i)
        ASSERT_EQ(image.begin[y * image.stride + i], Value(y * rowLength + i)) << y << "," << i;
  }
  // Caller memory (std::vector<bool> has no element array).
  static std::unique_ptr<T[]> Memory(int count) {
    std::unique_ptr<T[]> memory(new T[count]);
    for (int i = 0; i < count; ++i) memory[i] = Marker();
    return memory;
  }
  static void ExpectUntouched(const T* memory, int count) {
    for (int i = 0; i < count; ++i) ASSERT_EQ(memory[i], Marker()) << i;
  }
  static void ExpectNoStorage(const Buf<T>& b) {
    EXPECT_EQ(b.begin, nullptr);
    EXPECT_EQ(b.end, nullptr);
    EXPECT_FALSE(b.dataValid);
  }
};
TYPED_TEST_SUITE(ImageBufferTest, ElementTypes);

TYPED_TEST(ImageBufferTest, StatesWithoutStorageKeepTheirDimensions) {
  Buf<TypeParam> described(4, 3, 3, false);
  EXPECT_EQ(described.stride, 12);
  this->ExpectNoStorage(described);
  Buf<TypeParam> owning(5, 5, 1, true);
  owning.dataValid = true;
  owning.Reset(4, 3, 3, false);
  EXPECT_EQ((std::tuple{4, 3, 3, 12}),
            std::tie(owning.width, owning.height, owning.channels, owning.stride));
  this->ExpectNoStorage(owning);
  Buf<TypeParam> freed(4, 3, 3, true);
  freed.dataValid = true;
  freed.Free();
  EXPECT_EQ((std::tuple{4, 3, 3, 12}),
            std::tie(freed.width, freed.height, freed.channels, freed.stride));
  this->ExpectNoStorage(freed);
  Buf<TypeParam> empty(0, 0, 0, false);
  Buf<TypeParam> copy(empty);
  EXPECT_EQ((std::tuple{0, 0, 0}), std::tie(copy.width, copy.height, copy.channels));
  this->ExpectNoStorage(copy);
  // A zero-width allocation is an empty array, not a missing one.
  Buf<TypeParam> zeroWidth(0, 3, 2, true);
  EXPECT_NE(zeroWidth.begin, nullptr);
  zeroWidth.MemcpyFrom(Buf<TypeParam>(0, 3, 2, true));
  EXPECT_EQ(zeroWidth.begin, zeroWidth.end);
}

TYPED_TEST(ImageBufferTest, ResetComputesTheEndFromTheStride) {
  auto memory = this->Memory(64);
  Buf<TypeParam> buffer(1, 1, 1, true);
  buffer.dataValid = true;
  buffer.Reset(4, 3, 3, memory.get(), 16);
  EXPECT_EQ(buffer.end - buffer.begin, 44);
  EXPECT_FALSE(buffer.dataValid);
  buffer.Reset(4, 3, 3, memory.get(), 0);  // 0 means packed
  EXPECT_EQ(buffer.stride, 12);

  std::unique_ptr<TypeParam[]> array(new TypeParam[5 * 3]);
  TypeParam* raw = array.get();
  buffer.Reset(2, 3, 2, std::move(array), 5);
  EXPECT_EQ(array, nullptr);
  EXPECT_EQ(buffer.begin, raw);
  EXPECT_EQ(buffer.end, raw + 14);
  this->FillRows(buffer);
  this->ExpectRows(Buf<TypeParam>(buffer), 4);
}

TYPED_TEST(ImageBufferTest, ViewsNeverFreeCallerMemory) {
  // Heap memory from new[]: a view that freed it would be a double free
  // under the sanitizer when the unique_ptr releases it.
  std::unique_ptr<TypeParam[]> memory(new TypeParam[64]);
  for (int i = 0; i < 64; ++i) memory[i] = this->Value(i);
  {
    Buf<TypeParam> view(4, 4, 2, memory.get());
    EXPECT_EQ(view.end, memory.get() + 32);
    view.Free();
    EXPECT_EQ(view.begin, nullptr);
  }
  {
    Buf<TypeParam> view(4, 4, 2, Span<TypeParam, false>(memory.get()));
    view.Reset(2, 2, 2, memory.get() + 8, 0);
    view.Reset(4, 2, 1, false);
    view.Reset(4, 4, 4, memory.get(), 0);
    view.MemcpyFrom(Buf<TypeParam>(1, 1, 1, true));  // dropped, not freed
    EXPECT_NE(view.begin, memory.get());
  }
  for (int i = 0; i < 64; ++i) ASSERT_EQ(memory[i], this->Value(i));
}

TYPED_TEST(ImageBufferTest, CopyRuleHonoursBothStrides) {
  Buf<TypeParam> source(4, 3, 3, true);
  this->FillRows(source);
  // Same dimensions: written in place at the view's stride, padding kept.
  auto memory = this->Memory(48);
  Buf<TypeParam> view(0, 0, 0, false);
  view.Reset(4, 3, 3, memory.get(), 16);
  view.dataValid = true;
  view.MemcpyFrom(source);
  EXPECT_EQ(view.begin, memory.get());
  EXPECT_TRUE(view.dataValid);
  this->ExpectRows(view, 12);
  for (int y = 0; y < 3; ++y)
    for (int i = 12; i < 16; ++i) EXPECT_EQ(memory[y * 16 + i], this->Marker());

  // Other dimensions: the view is dropped for a packed array of its own.
  auto other = this->Memory(20);
  Buf<TypeParam> wrong(5, 2, 2, other.get());
  wrong.dataValid = true;
  wrong = source;
  EXPECT_EQ(wrong.stride, 12);
  EXPECT_EQ(wrong.end - wrong.begin, 36);
  EXPECT_FALSE(wrong.dataValid);
  this->ExpectRows(wrong, 12);
  this->ExpectUntouched(other.get(), 20);

  // Copy construction packs the strided view.
  Buf<TypeParam> copy(view);
  EXPECT_EQ(copy.stride, 12);
  EXPECT_FALSE(copy.dataValid);
  this->ExpectRows(copy, 12);

  // Matching dimensions without storage still get an array.
  Buf<TypeParam> bare(4, 3, 3, false);
  bare.MemcpyFrom(source);
  ASSERT_NE(bare.begin, nullptr);
  // A source with dimensions but no storage moves nothing.
  const Buf<TypeParam> noStorage(4, 3, 3, false);
  view.MemcpyFrom(noStorage);
  bare.DeepCopy(noStorage);
  this->ExpectRows(view, 12);
  this->ExpectRows(bare, 12);

  // Through the base: a zero source stride reads as packed.
  Buf<TypeParam> narrow(3, 2, 2, true);
  this->FillRows(narrow);
  narrow.stride = 0;
  Buf<TypeParam> destination(0, 0, 0, false);
  static_cast<ImageBase<TypeParam>&>(destination).DeepCopy(narrow);
  EXPECT_EQ(destination.stride, 6);
  this->ExpectRows(destination, 6);
}

TYPED_TEST(ImageBufferTest, MoveLeavesTheSourceAViewOfTheMovedArray) {
  auto source = std::make_unique<Buf<TypeParam>>(4, 3, 3, true);
  this->FillRows(*source);
  source->dataValid = true;
  TypeParam* pixels = source->begin;
  Buf<TypeParam> moved(std::move(*source));
  EXPECT_EQ(moved.begin, pixels);
  EXPECT_TRUE(moved.dataValid);
  EXPECT_EQ(source->begin, pixels);
  EXPECT_EQ(source->width, 4);
  EXPECT_TRUE(source->dataValid);
  source.reset();  // must not free the array the new buffer owns
  Buf<TypeParam> target(2, 2, 1, true);
  target = std::move(moved);
  EXPECT_EQ(target.begin, pixels);
  EXPECT_TRUE(target.dataValid);
  this->ExpectRows(target, 12);
}

TYPED_TEST(ImageBufferTest, SelfCopiesAndSelfMovesChangeNothing) {
  Buf<TypeParam> buffer(4, 3, 3, true);
  this->FillRows(buffer);
  buffer.SetDataValid(true);
  TypeParam* pixels = buffer.begin;
  Buf<TypeParam>& alias = buffer;
  buffer = alias;
  buffer.MemcpyFrom(buffer);
  buffer.MemcpyFrom(&buffer);
  buffer.MemcpyFrom(static_cast<const Buf<TypeParam>*>(nullptr));
  buffer.ShallowCopy(buffer);
  buffer.Reset(buffer);
  buffer.DeepCopy(buffer);
  buffer = std::move(alias);
  EXPECT_EQ(buffer.begin, pixels);
  EXPECT_EQ(buffer.end, pixels + 36);
  EXPECT_TRUE(buffer.GetDataValid());
  this->ExpectRows(buffer, 12);
}

TYPED_TEST(ImageBufferTest, ShallowCopyViewsTheOtherAndLeavesItsOwnership) {
  Buf<TypeParam> owner(4, 3, 3, true);
  this->FillRows(owner);
  owner.dataValid = true;
  {
    Buf<TypeParam> viewer(2, 2, 2, true);
    viewer.ShallowCopy(owner);
    EXPECT_EQ(viewer.begin, owner.begin);
    EXPECT_EQ(viewer.end, owner.end);
    EXPECT_TRUE(viewer.dataValid);
  }  // the viewer's end must not free the owner's array
  this->ExpectRows(owner, 12);
}

// Same width and height, another channel count: the copy must re-dimension
// rather than squeeze three channels into a one-channel array.
TYPED_TEST(ImageBufferTest, CopyIntoOtherChannelsOfTheSameSizeRedimensions) {
  Buf<TypeParam> colour(4, 3, 3, true);
  this->FillRows(colour);
  for (int form = 0; form < 2; ++form) {
    Buf<TypeParam> grey(4, 3, 1, true);
    if (form == 0) grey.MemcpyFrom(colour);
    if (form == 1) static_cast<ImageBase<TypeParam>&>(grey).DeepCopy(colour);
    EXPECT_EQ(grey.channels, 3) << form;
    EXPECT_EQ(grey.stride, 12) << form;
    EXPECT_EQ(grey.end - grey.begin, 36) << form;
    this->ExpectRows(grey, 12);
  }
}

TYPED_TEST(ImageBufferTest, RepointingIntoTheOwnArrayKeepsItAlive) {
  Buf<TypeParam> buffer(4, 4, 1, true);
  this->FillRows(buffer);
  TypeParam* pixels = buffer.begin;
  Buf<TypeParam> view(0, 0, 0, false);
  view.Reset(buffer);
  buffer = std::move(view);
  EXPECT_EQ(buffer.begin, pixels);
  this->ExpectRows(buffer, 4);
  // Any part of the array, also beyond what the current view covers.
  buffer.Reset(4, 2, 1, pixels + 8, 0);
  buffer.Reset(2, 2, 1, pixels, 0);
  buffer.Reset(2, 2, 1, pixels + 12, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer.begin[i], this->Value(12 + i));
  Buf<TypeParam> tail(0, 0, 0, false);
  tail.Reset(4, 1, 1, pixels + 4, 0);
  buffer.Reset(2, 1, 1, pixels, 0);
  buffer = std::move(tail);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer.begin[i], this->Value(4 + i));
}

TYPED_TEST(ImageBufferTest, CopyFromAViewOfTheOwnPixelsCrops) {
  // The re-dimension must not free the pixels being copied, in every form.
  for (int form = 0; form < 3; ++form) {
    Buf<TypeParam> image(4, 4, 1, true);
    this->FillRows(image);
    Buf<TypeParam> block(0, 0, 0, false);
    block.Reset(2, 2, 1, image.begin + 5, 4);
    if (form == 0) image.MemcpyFrom(block);
    if (form == 1) image = block;
    if (form == 2) static_cast<ImageBase<TypeParam>&>(image).DeepCopy(block);
    ASSERT_EQ(image.stride, 2) << form;
    for (int i : {0, 1, 2, 3}) EXPECT_EQ(image.begin[i], this->Value(i / 2 * 4 + i % 2 + 5));
  }
}

TYPED_TEST(ImageBufferTest, AllocationFailureLeavesTheStatedState) {
  Buf<TypeParam> buffer(4, 3, 3, true);
  this->FillRows(buffer);
  buffer.dataValid = true;
  TypeParam* pixels = buffer.begin;
  buffer.height = 1 << 30;
  EXPECT_THROW(buffer.Allocate(), std::bad_alloc);  // the old storage stays
  EXPECT_EQ(buffer.begin, pixels);
  EXPECT_EQ(buffer.end, pixels + 36);
  EXPECT_TRUE(buffer.dataValid);
  buffer.height = 3;
  this->ExpectRows(buffer, 12);

  EXPECT_THROW(buffer.Reset(-1, 3, 3, true), std::bad_alloc);  // new dimensions, no storage
  EXPECT_EQ(buffer.width, -1);
  this->ExpectNoStorage(buffer);
  // 65536 * 65536 wraps to 0 in 32 bits; it must not allocate that.
  EXPECT_THROW(buffer.Resize(65536, 65536, 1), std::bad_alloc);
  EXPECT_EQ(buffer.begin, nullptr);
  EXPECT_THROW(Buf<TypeParam>(46341, 46341, 1, true), std::bad_alloc);
  EXPECT_THROW(Buf<TypeParam>(1, 1, -3, true), std::bad_alloc);
  // Destroying through the base releases the array (the leak checker tells).
  std::unique_ptr<ImageBase<TypeParam>> image(new Buf<TypeParam>(8, 8, 3, true));
  image->Resize(2, 2, 4);
  EXPECT_EQ(image->stride, 8);
  EXPECT_EQ(image->end - image->begin, 16);
}

TEST(CheckedElementCountTest, RefusesWhatDoesNotFitIn32Bits) {
  EXPECT_EQ(CheckedElementCount(0, 100000, 100000), 0);
  EXPECT_EQ(CheckedElementCount(32767, 16384, 4), 2147418112);
  EXPECT_THROW(CheckedElementCount(32768, 16384, 4), std::bad_alloc);
  EXPECT_THROW(CheckedElementCount(2147483647, 2147483647, 2147483647), std::bad_alloc);
  EXPECT_THROW(CheckedElementCount(-1, 1, 1), std::bad_alloc);
}

}  // namespace
}  // namespace KVO
