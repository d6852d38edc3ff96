#ifndef TESTS_RUNTIME_ALLOCATIONFAILURE_H_
#define TESTS_RUNTIME_ALLOCATIONFAILURE_H_

// Linking AllocationFailure.cpp replaces the global operator new of the test
// binary with one that throws std::bad_alloc on demand, so a test can make
// allocation fail inside library code. Switched off unless a test turns it on;
// meant for the test's own thread while no other thread allocates.
namespace tolvenix_test {

void SetAllocationsFail(bool fail);
int FailedAllocationCount();

}  // namespace tolvenix_test

#endif  // TESTS_RUNTIME_ALLOCATIONFAILURE_H_
