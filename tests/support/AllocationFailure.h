#ifndef TESTS_SUPPORT_ALLOCATIONFAILURE_H_
#define TESTS_SUPPORT_ALLOCATIONFAILURE_H_

#include <cstddef>

// Linking TolvenixAllocationFailure replaces the global operator new and
// new[] of a test binary with ones that throw std::bad_alloc on demand, so a
// test can make allocation fail inside library code. The switches are per
// thread, so only the calls under test see failures; all start off.
namespace tolvenix_test {

// Every allocation fails while on.
void SetAllocationsFail(bool fail);
// Allocations of exactly `bytes` fail; 0 turns this off.
void FailAllocationsOfBytes(std::size_t bytes);
// The n-th allocation from now fails, once; 0 turns this off.
void FailAllocationNumber(int n);
// Allocations failed so far, on any thread.
int FailedAllocationCount();

}  // namespace tolvenix_test

#endif  // TESTS_SUPPORT_ALLOCATIONFAILURE_H_
