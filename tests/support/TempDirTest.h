#ifndef TESTS_SUPPORT_TEMPDIRTEST_H_
#define TESTS_SUPPORT_TEMPDIRTEST_H_

#include <string>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A fixture with a fresh scratch folder per test, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Root().empty()); }
  std::string Path(const std::string& name) const { return dir_.Path(name); }

  TempDir dir_;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TEMPDIRTEST_H_
