#ifndef TESTS_SUPPORT_ADDRESSSPACELIMIT_H_
#define TESTS_SUPPORT_ADDRESSSPACELIMIT_H_

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

// Caps the process's address space at its current size plus `headroomKb`,
// so that the system refuses to map a new thread's stack (root included,
// unlike a process-count limit). Only for a death-test child: the cap cannot
// be lifted again. Sanitizer runtimes need more room than this leaves.
inline bool LimitAddressSpace(long headroomKb) {
  // Small blocks freed now are reused later, so only the stack is missing.
  for (int i = 0; i < 64; ++i) delete[] new char[256];
  std::ifstream status("/proc/self/status");
  std::string line;
  long sizeKb = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) sizeKb = std::atol(line.c_str() + 7);
  }
  if (sizeKb == 0) return false;
  const auto bytes = static_cast<rlim_t>(sizeKb + headroomKb) * 1024;
  const rlimit limit{bytes, bytes};
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TOLVENIX_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOLVENIX_TEST_SANITIZED 1
#endif

// Sanitizer runtimes reserve more address space than any cap a test sets.
#if defined(TOLVENIX_TEST_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#endif  // TESTS_SUPPORT_ADDRESSSPACELIMIT_H_
