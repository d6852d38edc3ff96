#ifndef TESTS_SUPPORT_JPEGODDITIES_H_
#define TESTS_SUPPORT_JPEGODDITIES_H_

// Streams that common readers show whole although the codec warns about
// them (stray bytes it skips, header fields it ignores), and their damaged
// twins, whose warnings mean lost samples. All are made with the codec from
// small pictures, so the tests of every decoding path share one catalogue.

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

struct JpegOddity {
  std::string what;
  Bytes stream;
  // The same picture without the oddity: a harmless stream must decode to
  // exactly the pixels the plain codec gives for it. Empty for twins.
  Bytes plain;
  // Part of what the plain codec prints for `stream` (its first warning),
  // so a case that no longer provokes its warning shows; may be empty.
  std::string codecSays;
};

std::vector<JpegOddity> HarmlessJpegOddities();
std::vector<JpegOddity> DamagedJpegTwins();

}  // namespace testsupport

#endif  // TESTS_SUPPORT_JPEGODDITIES_H_
