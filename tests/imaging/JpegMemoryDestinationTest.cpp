#include <cstdlib>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/JpegFile.h"
#include "tests/support/AddressSpaceLimit.h"
#include "tests/support/TestSupport.h"

namespace {

// Noise barely compresses, so the codec's output buffer has to double
// several times; with the address space capped one of those doublings fails
// after the first buffer has already been given up.
void EncodeToMemoryUntilTheOutputCannotGrow() {
  const unsigned int side = 3000;
  std::vector<unsigned char> pixels(static_cast<std::size_t>(side) * side * 3);
  std::mt19937 random(7);
  for (unsigned char& value : pixels) value = static_cast<unsigned char>(random());
  KVO::JpegFile jpeg;
  jpeg.SetQuality(100);
  unsigned char* stream = nullptr;
  unsigned long length = 0;
  jpeg.SetJpegBuffer(&stream, &length);
  if (!LimitAddressSpace(12 * 1024)) testsupport::ExitChild(3);
  const bool written = jpeg.WriteToMemory(side, side, 3, pixels.data());
  // A stale output pointer would have been freed twice before this point.
  testsupport::ExitChild(!written && stream == nullptr && length == 0 && !jpeg.IsOk() ? 0 : 1);
}

TEST(JpegMemoryDestination, AnEncodeThatRunsOutOfMemoryAfterGrowingFreesOnlyLiveMemory) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes need the address space the test takes";
  EXPECT_EXIT(EncodeToMemoryUntilTheOutputCannotGrow(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
