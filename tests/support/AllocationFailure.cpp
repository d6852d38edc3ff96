#include "tests/runtime/AllocationFailure.h"

#include <atomic>
#include <cstdlib>
#include <new>

// Kept in a unit of its own: where the compiler sees both this operator new
// and a matching delete inlined, it warns about malloc/free pairing.
namespace {
std::atomic<bool> gFailAllocations{false};
std::atomic<int> gFailedAllocations{0};
}  // namespace

namespace tolvenix_test {

void SetAllocationsFail(bool fail) { gFailAllocations = fail; }
int FailedAllocationCount() { return gFailedAllocations.load(); }

}  // namespace tolvenix_test

void* operator new(std::size_t bytes) {
  if (gFailAllocations.load()) {
    gFailedAllocations.fetch_add(1);
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) {
    return memory;
  }
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
