// KVO::Vector and the records that carry it, compiled from the public header
// alone, as a host sees them; the tests' allocator fails chosen allocations.
#include <cstring>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "TolvenixUtilities.h"
#include "tests/support/AllocationFailure.h"

namespace {

// The vector's fields may sit at 4-byte offsets: copy them out, never bind
// references to them.
template <typename T>
T Copy(T field) {
  return field;
}

// The n-th element of a test vector: a plain value, the packed 100-byte
// report record, or a record that owns vectors itself, so that a shallow copy
// shows.
template <typename T>
T Make(int n);
template <>
int Make<int>(int n) {
  return n * 7 + 1;
}
template <>
TARGET Make<TARGET>(int n) {
  TARGET t{};
  t.id = static_cast<uint32_t>(n);
  t.left = n + 1;
  t.value1 = n * 0.5;
  return t;
}
template <>
LandPayload_Breadcrumb Make<LandPayload_Breadcrumb>(int n) {
  LandPayload_Breadcrumb b;
  b.id = static_cast<uint32_t>(n);
  for (int k = 0; k <= n % 5; ++k) {
    b.xs.push_back(n + k);
    b.ys.push_back(n - k);
  }
  return b;
}

bool Same(int a, int b) { return a == b; }
bool Same(const TARGET& a, const TARGET& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool Same(const LandPayload_Breadcrumb& a, const LandPayload_Breadcrumb& b) {
  if (a.id != b.id || a.xs.size() != b.xs.size() || a.ys.size() != b.ys.size()) return false;
  for (unsigned long i = 0; i < a.xs.size(); ++i) {
    if (a.xs[i] != b.xs[i] || a.ys.at(i) != b.ys.at(i)) return false;
  }
  return true;
}

template <typename T>
class KvoVector : public ::testing::Test {
 protected:
  static KVO::Vector<T> Filled(int n) {
    KVO::Vector<T> v;
    for (int i = 0; i < n; ++i) v.push_back(Make<T>(i));
    return v;
  }
  static void ExpectHolds(const KVO::Vector<T>& v, int n) {
    ASSERT_EQ(v.size(), static_cast<unsigned long>(n));
    for (int i = 0; i < n; ++i) EXPECT_TRUE(Same(v[i], Make<T>(i)) && Same(v.at(i), v[i])) << i;
  }
  // Runs `change` on a full vector of 7 with its first, second, ...
  // allocation failing, until one run needs no more: each failed run throws
  // std::bad_alloc and leaves the vector as it was.
  template <typename Change>
  static void ExpectEachFailedAllocationChangesNothing(Change change) {
    for (int n = 1; n <= 64; ++n) {
      KVO::Vector<T> v = Filled(7);
      const T* before = Copy(v.data);
      bool failed = false;
      tolvenix_test::FailAllocationNumber(n);
      try {
        change(v);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      tolvenix_test::FailAllocationNumber(0);
      if (!failed) {
        EXPECT_GT(n, 1) << "the change allocates";
        return;
      }
      EXPECT_EQ(Copy(v.data), before) << n;
      EXPECT_EQ(Copy(v.capacity), 7u) << n;
      ExpectHolds(v, 7);
    }
    ADD_FAILURE() << "the change never succeeded";
  }
};

using ElementTypes = ::testing::Types<int, TARGET, LandPayload_Breadcrumb>;
TYPED_TEST_SUITE(KvoVector, ElementTypes);

TYPED_TEST(KvoVector, PushBackGrowsByHalfPlusOneAndMaySourceItsOwnElement) {
  KVO::Vector<TypeParam> v;
  EXPECT_EQ(Copy(v.data), nullptr);
  EXPECT_EQ(v.size(), 0u);
  EXPECT_EQ(Copy(v.capacity), 0u);
  std::vector<uint64_t> capacities;
  for (int i = 0; i < 7; ++i) {
    v.push_back(Make<TypeParam>(i));
    capacities.push_back(Copy(v.capacity));
  }
  v.push_back(v[0]);  // full: the push reallocates while reading the old storage
  capacities.push_back(Copy(v.capacity));
  EXPECT_EQ(capacities, (std::vector<uint64_t>{1, 2, 4, 4, 7, 7, 7, 11}));
  ASSERT_EQ(v.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(Same(v[i], Make<TypeParam>(i % 7))) << i;
}

TYPED_TEST(KvoVector, SetCapacityNeverDropsElements) {
  KVO::Vector<TypeParam> v = this->Filled(5);
  v.set_capacity(2);
  EXPECT_EQ(Copy(v.capacity), 5u);
  const TypeParam* before = Copy(v.data);
  v.set_capacity(5);
  EXPECT_EQ(Copy(v.data), before) << "the current capacity reallocates nothing";
  for (uint64_t capacity : {40u, 6u}) {
    v.set_capacity(capacity);
    EXPECT_EQ(Copy(v.capacity), capacity);
    this->ExpectHolds(v, 5);
  }
  // An empty vector gets storage without elements, and gives it up again.
  KVO::Vector<TypeParam> empty;
  empty.set_capacity(3);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(Copy(empty.capacity), 3u);
  EXPECT_NE(Copy(empty.data), nullptr);
  empty.set_capacity(0);
  EXPECT_EQ(Copy(empty.data), nullptr);
  EXPECT_EQ(Copy(empty.capacity), 0u);
}

TYPED_TEST(KvoVector, CopiesAreDeepEmptyOrNotAndSelfAssignmentChangesNothing) {
  KVO::Vector<TypeParam> original = this->Filled(5);
  KVO::Vector<TypeParam> constructed(original);
  KVO::Vector<TypeParam> assigned = this->Filled(2);
  assigned = original;
  EXPECT_NE(Copy(constructed.data), Copy(original.data));
  EXPECT_NE(Copy(assigned.data), Copy(original.data));
  // Copies take the source's capacity, not just its count.
  original.set_capacity(9);
  EXPECT_EQ(Copy(KVO::Vector<TypeParam>(original).capacity), 9u);
  assigned = original;
  EXPECT_EQ(Copy(assigned.capacity), 9u);
  original = KVO::Vector<TypeParam>();  // the copies outlive its storage
  this->ExpectHolds(constructed, 5);
  this->ExpectHolds(assigned, 5);
  const TypeParam* before = Copy(assigned.data);
  KVO::Vector<TypeParam>& alias = assigned;
  assigned = alias;
  EXPECT_EQ(Copy(assigned.data), before);
  this->ExpectHolds(assigned, 5);
  // Copies of vectors without storage have none either.
  KVO::Vector<TypeParam> reserved;
  reserved.set_capacity(4);
  reserved.set_capacity(0);
  KVO::Vector<TypeParam> copy(reserved);
  EXPECT_EQ(Copy(copy.data), nullptr);
  assigned = reserved;
  EXPECT_EQ(Copy(assigned.data), nullptr);
  EXPECT_EQ(assigned.size(), 0u);
}

// Growth, a new capacity, copy construction and copy assignment; for trails
// the element copies allocate too. Under ASan a failed copy that forgets
// its new array or the elements' lists shows as a leak.
TYPED_TEST(KvoVector, AFailedAllocationThrowsAndLeavesTheVectorAsItWas) {
  using V = KVO::Vector<TypeParam>;
  const TypeParam extra = Make<TypeParam>(9);
  const V source = this->Filled(3);
  this->ExpectEachFailedAllocationChangesNothing([&](V& v) { v.push_back(extra); });
  this->ExpectEachFailedAllocationChangesNothing([](V& v) { v.set_capacity(20); });
  this->ExpectEachFailedAllocationChangesNothing([](V& v) { V copy(v); });
  this->ExpectEachFailedAllocationChangesNothing([&](V& v) { v = source; });
}

size_t OffsetOf(const void* member, const void* record) {
  return static_cast<const unsigned char*>(member) - static_cast<const unsigned char*>(record);
}

// Byte offsets a host compiled elsewhere relies on.
TEST(BoundaryRecords, FieldsSitWhereTheHostExpectsThem) {
  KVO::Vector<int> v;
  v.push_back(3);
  uint64_t fields[3];  // data, count, capacity after the vtable pointer
  std::memcpy(fields, reinterpret_cast<const unsigned char*>(&v) + 8, sizeof fields);
  EXPECT_EQ(fields[0], reinterpret_cast<uintptr_t>(Copy(v.data)));
  EXPECT_EQ(fields[1], 1u);
  EXPECT_EQ(fields[2], 1u);
  LandPayload_Breadcrumb crumb;
  EXPECT_EQ(OffsetOf(&crumb.xs, &crumb), 4u);
  EXPECT_EQ(OffsetOf(&crumb.ys, &crumb), 36u);
  TargetPayloadLand payload;
  EXPECT_EQ(OffsetOf(&payload.context, &payload), 0u);
  EXPECT_EQ(OffsetOf(&payload.targets, &payload), 8u);
  EXPECT_EQ(OffsetOf(&payload.breadcrumbs, &payload), 40u);
  EXPECT_EQ(OffsetOf(static_cast<TargetPayloadBase*>(&payload), &payload), 0u);
}

}  // namespace
