#include <cstring>
#include <new>

#include <gtest/gtest.h>

#include "imaging/UDGBMemManager.h"

namespace KVO {
namespace {

template <typename Manager>
class MemManagerTest : public ::testing::Test {};

template <typename T>
struct Plain {
  using Type = UDGBMemManager<T>;
  static constexpr bool kZeroes = false;
};
template <typename T>
struct Zero {
  using Type = UDGBMemManagerZero<T>;
  static constexpr bool kZeroes = true;
};

using Managers = ::testing::Types<Plain<unsigned char>, Plain<float>, Plain<bool>, Plain<long>,
                                  Zero<unsigned char>, Zero<unsigned short>, Zero<unsigned int>,
                                  Zero<unsigned long>, Zero<signed char>, Zero<short>, Zero<int>,
                                  Zero<long>, Zero<float>, Zero<double>, Zero<bool>>;
TYPED_TEST_SUITE(MemManagerTest, Managers);

TYPED_TEST(MemManagerTest, BuffersFollowTheGeometryConfiguredWhenTheyWereMade) {
  typename TypeParam::Type manager;
  auto* unconfigured = manager.AllocateOne();
  EXPECT_FALSE(manager.configured);
  EXPECT_EQ(unconfigured->width + unconfigured->height + unconfigured->channels, 0);
  EXPECT_EQ(unconfigured->begin, nullptr);
  manager.Configure(64, 48, 3, true);
  auto* first = manager.AllocateOne();
  auto* second = manager.AllocateOne();
  manager.Configure(5, 7, 1, false);
  auto* third = manager.AllocateOne();
  ASSERT_NE(first->begin, nullptr);
  EXPECT_NE(first->begin, second->begin);
  EXPECT_EQ(first->stride, 192);
  EXPECT_EQ(first->end - first->begin, 64 * 48 * 3);
  EXPECT_FALSE(first->dataValid);
  // Made without storage, it still has the configured dimensions.
  EXPECT_EQ(third->width, 5);
  EXPECT_EQ(third->height, 7);
  EXPECT_EQ(third->stride, 5);
  EXPECT_EQ(third->begin, nullptr);
  EXPECT_EQ(third->end, nullptr);

  // The zeroing manager's arrays start zeroed; buffers never share storage.
  const auto* bytes = reinterpret_cast<const unsigned char*>(first->begin);
  const auto* last = reinterpret_cast<const unsigned char*>(first->end);
  if (!TypeParam::kZeroes) std::memset(static_cast<void*>(first->begin), 0, last - bytes);
  std::memset(static_cast<void*>(second->begin), 1,
              static_cast<std::size_t>(second->end - second->begin) * sizeof(*second->begin));
  for (auto* made : {second, unconfigured, third}) manager.DeallocateOne(made);
  for (const auto* p = bytes; p != last; ++p) ASSERT_EQ(*p, 0);
  // Most likely where the dirtied array lay: zeroed again, not merely fresh.
  manager.Configure(64, 48, 3, true);
  auto* reused = manager.AllocateOne();
  const auto* reusedBytes = reinterpret_cast<const unsigned char*>(reused->begin);
  for (long i = 0; TypeParam::kZeroes && i < last - bytes; ++i) ASSERT_EQ(reusedBytes[i], 0);
  manager.DeallocateOne(reused);
  manager.DeallocateOne(first);
  manager.DeallocateOne(nullptr);
}

// The half-made buffer must not leak when its array cannot be had (the
// leak checker of the sanitizer build tells).
TYPED_TEST(MemManagerTest, ImpossibleGeometryThrowsWithoutLeaking) {
  typename TypeParam::Type manager;
  manager.Configure(-4, 3, 1, true);
  EXPECT_THROW(manager.AllocateOne(), std::bad_alloc);
  manager.Configure(100000, 100000, 1, true);
  EXPECT_THROW(manager.AllocateOne(), std::bad_alloc);
  manager.Configure(2, 2, 1, true);
  auto* made = manager.AllocateOne();
  EXPECT_EQ(made->end - made->begin, 4);
  manager.DeallocateOne(made);
}

}  // namespace
}  // namespace KVO
