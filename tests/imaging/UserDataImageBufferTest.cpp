#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "imaging/UserDataImageBuffer.h"

namespace KVO {
namespace {

using ElementTypes = ::testing::Types<unsigned char, unsigned short, unsigned int, unsigned long,
                                      signed char, short, int, long, float, double, bool>;

template <typename T>
class ImageBufferTest : public ::testing::Test {
 protected:
  // Distinct, type-representable value for element index i (bool alternates).
  static T Value(int i) {
    if constexpr (std::is_same_v<T, bool>) {
      return (i % 2) != 0;
    } else {
      return static_cast<T>(i % 97 + 1);
    }
  }
  static T Marker() {
    if constexpr (std::is_same_v<T, bool>) {
      return true;
    } else {
      return static_cast<T>(99);
    }
  }

  // Fills `image` row by row at its own stride with Value(y * rowLength + i).
  static void FillRows(ImageBase<T>& image) {
    const int rowLength = image.width * image.channels;
    for (int y = 0; y < image.height; ++y) {
      for (int i = 0; i < rowLength; ++i)
        image.begin[y * image.stride + i] = Value(y * rowLength + i);
    }
  }

  static void ExpectRows(const ImageBase<T>& image, int sourceWidth, int sourceChannels) {
    const int rowLength = sourceWidth * sourceChannels;
    ASSERT_EQ(image.width * image.channels, rowLength);
    for (int y = 0; y < image.height; ++y) {
      for (int i = 0; i < rowLength; ++i) {
        ASSERT_EQ(image.begin[y * image.stride + i], Value(y * rowLength + i)) << y << "," << i;
      }
    }
  }

  // Caller memory (not std::vector, which has no element array for bool).
  static std::unique_ptr<T[]> Memory(int count, T fill) {
    std::unique_ptr<T[]> memory(new T[count]);
    for (int i = 0; i < count; ++i) memory[i] = fill;
    return memory;
  }

  static void ExpectFilled(const T* memory, int count, T fill) {
    for (int i = 0; i < count; ++i) ASSERT_EQ(memory[i], fill) << i;
  }

  static void ExpectEmpty(const UserDataGenericBuffer<T>& b) {
    EXPECT_EQ(b.width, 0);
    EXPECT_EQ(b.height, 0);
    EXPECT_EQ(b.channels, 0);
    EXPECT_EQ(b.begin, nullptr);
    EXPECT_EQ(b.end, nullptr);
    EXPECT_FALSE(b.dataValid);
  }
};
TYPED_TEST_SUITE(ImageBufferTest, ElementTypes);

TYPED_TEST(ImageBufferTest, ConstructorWithoutAllocationDescribesButHoldsNothing) {
  UserDataGenericBuffer<TypeParam> buffer(4, 3, 3, false);
  EXPECT_EQ(buffer.stride, 12);
  EXPECT_EQ(buffer.begin, nullptr);
  EXPECT_EQ(buffer.end, nullptr);
  EXPECT_FALSE(buffer.dataValid);

  UserDataGenericBuffer<TypeParam> owning(5, 5, 1, true);
  owning.Reset(4, 3, 3, false);
  EXPECT_EQ(owning.width, 4);
  EXPECT_EQ(owning.height, 3);
  EXPECT_EQ(owning.stride, 12);
  EXPECT_EQ(owning.begin, nullptr);
  EXPECT_EQ(owning.end, nullptr);

  UserDataGenericBuffer<TypeParam> empty(0, 0, 0, false);
  this->ExpectEmpty(empty);
}

TYPED_TEST(ImageBufferTest, ViewsNeverFreeCallerMemory) {
  // Heap memory from new[]: a view that freed it would be caught by the
  // sanitizer as a double free when the unique_ptr releases it below.
  std::unique_ptr<TypeParam[]> memory(new TypeParam[64]);
  for (int i = 0; i < 64; ++i) memory[i] = this->Value(i);
  {
    UserDataGenericBuffer<TypeParam> view(4, 4, 2, memory.get());
    EXPECT_EQ(view.end, memory.get() + 32);
    view.Free();
    EXPECT_EQ(view.begin, nullptr);
    EXPECT_EQ(view.width, 4);
  }
  {
    UserDataGenericBuffer<TypeParam> view(4, 4, 2, Span<TypeParam, false>(memory.get()));
    view.Reset(2, 2, 2, memory.get() + 8, 0);
    view.Reset(4, 2, 1, false);
    view.Reset(4, 4, 4, memory.get(), 0);
    UserDataGenericBuffer<TypeParam> other(1, 1, 1, true);
    view.MemcpyFrom(other);  // other dimensions: the view is dropped, not freed
    EXPECT_NE(view.begin, memory.get());
  }
  for (int i = 0; i < 64; ++i) ASSERT_EQ(memory[i], this->Value(i));
}

TYPED_TEST(ImageBufferTest, ResetWithPointerComputesEndFromStride) {
  auto memory = this->Memory(64, this->Marker());
  UserDataGenericBuffer<TypeParam> buffer(1, 1, 1, true);
  buffer.dataValid = true;
  buffer.Reset(4, 3, 3, memory.get(), 0);
  EXPECT_EQ(buffer.stride, 12);
  EXPECT_EQ(buffer.end - buffer.begin, 36);
  EXPECT_FALSE(buffer.dataValid);
  buffer.Reset(4, 3, 3, memory.get(), 16);
  EXPECT_EQ(buffer.stride, 16);
  EXPECT_EQ(buffer.end - buffer.begin, 44);
  EXPECT_EQ(reinterpret_cast<const char*>(buffer.end) - reinterpret_cast<const char*>(buffer.begin),
            static_cast<long>(44 * sizeof(TypeParam)));
}

TYPED_TEST(ImageBufferTest, FreeKeepsDimensionsAndClearsDataValid) {
  UserDataGenericBuffer<TypeParam> buffer(4, 3, 3, true);
  buffer.dataValid = true;
  buffer.Free();
  EXPECT_EQ(buffer.width, 4);
  EXPECT_EQ(buffer.height, 3);
  EXPECT_EQ(buffer.channels, 3);
  EXPECT_EQ(buffer.stride, 12);
  EXPECT_EQ(buffer.begin, nullptr);
  EXPECT_EQ(buffer.end, nullptr);
  EXPECT_FALSE(buffer.dataValid);
}

TYPED_TEST(ImageBufferTest, CopyIntoStridedViewOfSameDimensionsHonoursStride) {
  UserDataGenericBuffer<TypeParam> source(4, 3, 3, true);
  this->FillRows(source);
  auto memory = this->Memory(48, this->Marker());
  UserDataGenericBuffer<TypeParam> view(4, 3, 3, false);
  view.Reset(4, 3, 3, memory.get(), 16);
  view.dataValid = true;

  view.MemcpyFrom(source);

  EXPECT_EQ(view.begin, memory.get());
  EXPECT_EQ(view.stride, 16);
  EXPECT_TRUE(view.dataValid);
  this->ExpectRows(view, 4, 3);
  for (int y = 0; y < 3; ++y) {
    for (int i = 12; i < 16; ++i) EXPECT_EQ(memory[y * 16 + i], this->Marker()) << "padding";
  }
}

TYPED_TEST(ImageBufferTest, CopyIntoViewOfOtherDimensionsDropsTheView) {
  UserDataGenericBuffer<TypeParam> source(4, 3, 3, true);
  this->FillRows(source);
  auto memory = this->Memory(20, this->Marker());
  UserDataGenericBuffer<TypeParam> view(5, 2, 2, memory.get());
  view.dataValid = true;

  view = source;

  EXPECT_NE(view.begin, memory.get());
  EXPECT_EQ(view.stride, 12);
  EXPECT_EQ(view.end - view.begin, 36);
  EXPECT_FALSE(view.dataValid);
  this->ExpectRows(view, 4, 3);
  this->ExpectFilled(memory.get(), 20, this->Marker());
}

TYPED_TEST(ImageBufferTest, DeepCopyReadsZeroStrideSourceAsPackedAndServesTheBase) {
  UserDataGenericBuffer<TypeParam> source(3, 2, 2, true);
  this->FillRows(source);
  source.stride = 0;
  UserDataGenericBuffer<TypeParam> destination(0, 0, 0, false);
  ImageBase<TypeParam>& base = destination;

  base.DeepCopy(source);

  EXPECT_EQ(destination.stride, 6);
  source.stride = 6;
  this->ExpectRows(destination, 3, 2);
}

TYPED_TEST(ImageBufferTest, CopyConstructionPacksAStridedSource) {
  auto memory = this->Memory(44, this->Marker());
  UserDataGenericBuffer<TypeParam> source(0, 0, 0, false);
  source.Reset(4, 3, 3, memory.get(), 16);
  this->FillRows(source);
  source.dataValid = true;

  UserDataGenericBuffer<TypeParam> copy(source);

  EXPECT_NE(copy.begin, source.begin);
  EXPECT_EQ(copy.stride, 12);
  EXPECT_EQ(copy.end - copy.begin, 36);
  EXPECT_FALSE(copy.dataValid);
  this->ExpectRows(copy, 4, 3);
}

TYPED_TEST(ImageBufferTest, CopyConstructionFromEmptySourceAllocatesNothing) {
  UserDataGenericBuffer<TypeParam> source(0, 0, 0, false);
  UserDataGenericBuffer<TypeParam> copy(source);
  this->ExpectEmpty(copy);
}

TYPED_TEST(ImageBufferTest, MoveLeavesTheSourceAViewOfTheMovedArray) {
  auto source = std::make_unique<UserDataGenericBuffer<TypeParam>>(4, 3, 3, true);
  this->FillRows(*source);
  source->dataValid = true;
  TypeParam* pixels = source->begin;

  UserDataGenericBuffer<TypeParam> moved(std::move(*source));

  EXPECT_EQ(moved.begin, pixels);
  EXPECT_TRUE(moved.dataValid);
  EXPECT_EQ(source->begin, pixels);
  EXPECT_EQ(source->width, 4);
  EXPECT_TRUE(source->dataValid);
  source.reset();  // must not free the array the new buffer owns
  this->ExpectRows(moved, 4, 3);

  UserDataGenericBuffer<TypeParam> target(2, 2, 1, true);
  target = std::move(moved);
  EXPECT_EQ(target.begin, pixels);
  EXPECT_TRUE(target.dataValid);
  this->ExpectRows(target, 4, 3);
}

TYPED_TEST(ImageBufferTest, SelfCopiesAndSelfMovesChangeNothing) {
  UserDataGenericBuffer<TypeParam> buffer(4, 3, 3, true);
  this->FillRows(buffer);
  buffer.dataValid = true;
  TypeParam* pixels = buffer.begin;
  UserDataGenericBuffer<TypeParam>& alias = buffer;

  buffer = alias;
  buffer.MemcpyFrom(buffer);
  buffer.MemcpyFrom(&buffer);
  buffer.ShallowCopy(buffer);
  buffer.Reset(buffer);
  buffer.DeepCopy(buffer);
  buffer = std::move(alias);

  EXPECT_EQ(buffer.begin, pixels);
  EXPECT_EQ(buffer.end, pixels + 36);
  EXPECT_TRUE(buffer.dataValid);
  this->ExpectRows(buffer, 4, 3);
}

TYPED_TEST(ImageBufferTest, ShallowCopyViewsTheOtherAndLeavesItsOwnership) {
  UserDataGenericBuffer<TypeParam> owner(4, 3, 3, true);
  this->FillRows(owner);
  owner.dataValid = true;
  {
    UserDataGenericBuffer<TypeParam> viewer(2, 2, 2, true);
    viewer.ShallowCopy(owner);
    EXPECT_EQ(viewer.begin, owner.begin);
    EXPECT_EQ(viewer.end, owner.end);
    EXPECT_TRUE(viewer.dataValid);
  }
  this->ExpectRows(owner, 4, 3);
}

TYPED_TEST(ImageBufferTest, RepointingIntoTheOwnArrayKeepsItAlive) {
  UserDataGenericBuffer<TypeParam> buffer(4, 4, 1, true);
  this->FillRows(buffer);
  TypeParam* pixels = buffer.begin;

  UserDataGenericBuffer<TypeParam> view(0, 0, 0, false);
  view.Reset(buffer);
  buffer = std::move(view);
  EXPECT_EQ(buffer.begin, pixels);
  this->ExpectRows(buffer, 4, 1);

  buffer.Reset(4, 2, 1, pixels + 8, 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer.begin[i], this->Value(8 + i));

  // Back to the first half, then a part of the array beyond what the
  // current view covers: the array itself decides, not the view.
  buffer.Reset(2, 2, 1, pixels, 0);
  buffer.Reset(2, 2, 1, pixels + 12, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer.begin[i], this->Value(12 + i));
  UserDataGenericBuffer<TypeParam> tail(0, 0, 0, false);
  tail.Reset(4, 1, 1, pixels + 4, 0);
  buffer.Reset(2, 1, 1, pixels, 0);
  buffer = std::move(tail);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer.begin[i], this->Value(4 + i));
}

TYPED_TEST(ImageBufferTest, CopyFromAViewOfTheOwnPixelsCrops) {
  // The 2 x 2 block at (1, 1) of a 4 x 4 image, copied into the image
  // itself, through each copy form: the re-dimension must not free the
  // pixels being copied.
  for (int form = 0; form < 3; ++form) {
    SCOPED_TRACE(form);
    UserDataGenericBuffer<TypeParam> image(4, 4, 1, true);
    this->FillRows(image);
    UserDataGenericBuffer<TypeParam> block(0, 0, 0, false);
    block.Reset(2, 2, 1, image.begin + 5, 4);
    if (form == 0) image.MemcpyFrom(block);
    if (form == 1) image = block;
    if (form == 2) static_cast<ImageBase<TypeParam>&>(image).DeepCopy(block);
    ASSERT_EQ(image.width, 2);
    ASSERT_EQ(image.stride, 2);
    EXPECT_EQ(image.begin[0], this->Value(5));
    EXPECT_EQ(image.begin[1], this->Value(6));
    EXPECT_EQ(image.begin[2], this->Value(9));
    EXPECT_EQ(image.begin[3], this->Value(10));
  }
}

TYPED_TEST(ImageBufferTest, ResetAdoptsAnArrayWithItsStride) {
  std::unique_ptr<TypeParam[]> array(new TypeParam[5 * 3]);
  TypeParam* raw = array.get();
  UserDataGenericBuffer<TypeParam> buffer(1, 1, 1, true);
  buffer.Reset(2, 3, 2, std::move(array), 5);
  EXPECT_EQ(array, nullptr);
  EXPECT_EQ(buffer.begin, raw);
  EXPECT_EQ(buffer.end, raw + 14);
  EXPECT_EQ(buffer.stride, 5);
  this->FillRows(buffer);
  UserDataGenericBuffer<TypeParam> copy(buffer);
  this->ExpectRows(copy, 2, 2);
}

TYPED_TEST(ImageBufferTest, ZeroWidthAllocationGivesAnEmptyArray) {
  UserDataGenericBuffer<TypeParam> buffer(0, 3, 2, true);
  EXPECT_NE(buffer.begin, nullptr);
  EXPECT_EQ(buffer.begin, buffer.end);
  UserDataGenericBuffer<TypeParam> source(0, 3, 2, true);
  buffer.MemcpyFrom(source);
  EXPECT_EQ(buffer.begin, buffer.end);
}

TYPED_TEST(ImageBufferTest, CopyFromSourceWithoutStorageMovesNothing) {
  UserDataGenericBuffer<TypeParam> source(4, 3, 3, false);
  auto memory = this->Memory(48, this->Marker());
  UserDataGenericBuffer<TypeParam> strided(0, 0, 0, false);
  strided.Reset(4, 3, 3, memory.get(), 16);
  strided.MemcpyFrom(source);
  this->ExpectFilled(memory.get(), 48, this->Marker());

  UserDataGenericBuffer<TypeParam> packed(4, 3, 3, true);
  this->FillRows(packed);
  packed.DeepCopy(source);
  this->ExpectRows(packed, 4, 3);
}

TYPED_TEST(ImageBufferTest, CopyIntoMatchingBufferWithoutStorageGivesItAnArray) {
  UserDataGenericBuffer<TypeParam> source(4, 3, 3, true);
  this->FillRows(source);
  UserDataGenericBuffer<TypeParam> destination(4, 3, 3, false);
  destination.MemcpyFrom(source);
  ASSERT_NE(destination.begin, nullptr);
  this->ExpectRows(destination, 4, 3);
}

TYPED_TEST(ImageBufferTest, ImpossibleSizesRaiseTheAllocationException) {
  UserDataGenericBuffer<TypeParam> buffer(4, 3, 3, true);
  buffer.dataValid = true;
  EXPECT_THROW(buffer.Reset(-1, 3, 3, true), std::bad_alloc);
  EXPECT_EQ(buffer.width, -1);
  EXPECT_EQ(buffer.begin, nullptr);
  EXPECT_EQ(buffer.end, nullptr);
  EXPECT_FALSE(buffer.dataValid);

  // 65536 * 65536 wraps to 0 in 32 bits; it must not allocate that.
  EXPECT_THROW(buffer.Resize(65536, 65536, 1), std::bad_alloc);
  EXPECT_EQ(buffer.begin, nullptr);
  EXPECT_THROW(UserDataGenericBuffer<TypeParam>(46341, 46341, 1, true), std::bad_alloc);
  EXPECT_THROW(UserDataGenericBuffer<TypeParam>(1, 1, -3, true), std::bad_alloc);
}

TYPED_TEST(ImageBufferTest, FailedAllocateLeavesTheBufferAsItWas) {
  UserDataGenericBuffer<TypeParam> buffer(4, 3, 3, true);
  this->FillRows(buffer);
  buffer.dataValid = true;
  TypeParam* pixels = buffer.begin;
  buffer.height = 1 << 30;
  EXPECT_THROW(buffer.Allocate(), std::bad_alloc);
  EXPECT_EQ(buffer.begin, pixels);
  EXPECT_EQ(buffer.end, pixels + 36);
  EXPECT_TRUE(buffer.dataValid);
  buffer.height = 3;
  this->ExpectRows(buffer, 4, 3);
}

TYPED_TEST(ImageBufferTest, DestroyingThroughTheBaseReleasesTheArray) {
  std::unique_ptr<ImageBase<TypeParam>> image(new UserDataGenericBuffer<TypeParam>(8, 8, 3, true));
  image->Resize(2, 2, 4);
  EXPECT_EQ(image->stride, 8);
  EXPECT_EQ(image->end - image->begin, 16);
}

TEST(CheckedElementCountTest, RefusesWhatDoesNotFitIn32Bits) {
  EXPECT_EQ(CheckedElementCount(0, 100000, 100000), 0);
  EXPECT_EQ(CheckedElementCount(32767, 16384, 4), 2147418112);
  EXPECT_THROW(CheckedElementCount(32768, 16384, 4), std::bad_alloc);
  EXPECT_THROW(CheckedElementCount(2147483647, 2147483647, 2147483647), std::bad_alloc);
}

}  // namespace
}  // namespace KVO
