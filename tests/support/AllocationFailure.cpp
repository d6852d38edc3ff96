#include "tests/support/AllocationFailure.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Kept in a unit of its own: where the compiler sees both this operator new
// and a matching delete inlined, it warns about malloc/free pairing.
namespace {

thread_local bool failEvery = false;
thread_local std::size_t failBytes = 0;
thread_local int untilFailure = 0;  // the allocation that brings it to 0 fails
std::atomic<int> failed{0};

void* Allocate(std::size_t bytes) {
  const bool fail = failEvery || (failBytes != 0 && bytes == failBytes) ||
                    (untilFailure > 0 && --untilFailure == 0);
  if (fail) failed.fetch_add(1);
  void* memory = fail ? nullptr : std::malloc(bytes == 0 ? 1 : bytes);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

namespace tolvenix_test {

void SetAllocationsFail(bool fail) { failEvery = fail; }
void FailAllocationsOfBytes(std::size_t bytes) { failBytes = bytes; }
void FailAllocationNumber(int n) { untilFailure = n; }
int FailedAllocationCount() { return failed.load(); }

}  // namespace tolvenix_test

void* operator new(std::size_t bytes) { return Allocate(bytes); }
void* operator new[](std::size_t bytes) { return Allocate(bytes); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
// The nothrow forms too: a sanitizer runtime brings its own, which would
// allocate where the deletes above free, and would never fail on demand.
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return Allocate(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return Allocate(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
