// The codec warns about many things; only warnings that mean lost samples
// may refuse a picture. Oddities every common reader shows load on every
// decoding path with exactly the pixels of the same picture without them;
// their damaged twins are refused on every path.
#include <string>

#include <gtest/gtest.h>

#include "tests/imaging/JpegDecodeTest.h"
#include "tests/support/JpegOddities.h"
#include "tests/support/JpegStreams.h"

namespace KVO {
namespace {

using testsupport::Bytes;
using testsupport::ReferenceDecodeJpeg;
using JpegWarningTest = testing_support::JpegDecodeTest;

TEST_F(JpegWarningTest, StreamsWithHarmlessWarningsLoadWhole) {
  for (const testsupport::JpegOddity& oddity : testsupport::HarmlessJpegOddities()) {
    SCOPED_TRACE(oddity.what);
    Bytes reference;
    const std::string said = Quietly([&] { reference = ReferenceDecodeJpeg(oddity.stream); });
    EXPECT_NE(said.find(oddity.codecSays), std::string::npos) << said;
    ASSERT_EQ(reference, ReferenceDecodeJpeg(oddity.plain));
    EXPECT_EQ(DecodeEveryWay(oddity.stream), reference);
  }
}

TEST_F(JpegWarningTest, DamagedTwinsAreRefused) {
  for (const testsupport::JpegOddity& twin : testsupport::DamagedJpegTwins()) {
    SCOPED_TRACE(twin.what);
    EXPECT_TRUE(DecodeEveryWay(twin.stream).empty());
  }
}

}  // namespace
}  // namespace KVO
