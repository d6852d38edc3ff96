// Streams built to make a decoder invent pixels or work without end: data
// that runs out in arithmetic coding, components no scan carries, and scan
// floods. Each is made here from a small picture with the codec's own
// encoder, then cut or patched.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/JPEGTurbo.h"
#include "imaging/JpegErrorManager.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/JpegDecodeTest.h"
#include "tests/support/JpegStreams.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testsupport::CutJpegAt;
using testsupport::EncodeJpeg;
using testsupport::FindJpegScans;
using testsupport::JpegCoding;
using testsupport::JpegScanHeaderEnd;
using testsupport::ReferenceDecodeJpeg;

constexpr unsigned char kEndOfImage[] = {0xFF, 0xD9};

// Scripts of one scan per component: sequential, and progressive with the
// DC coefficients of each component in a scan of their own.
const std::vector<jpeg_scan_info> kScanPerComponent = {
    {1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
const std::vector<jpeg_scan_info> kProgressionPerComponent = {
    {1, {0}, 0, 0, 0, 0},  {1, {1}, 0, 0, 0, 0},  {1, {2}, 0, 0, 0, 0},
    {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
// A grey DC scan, then one AC scan at full precision, which may repeat
// without any warning.
const std::vector<jpeg_scan_info> kRepeatableScans = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};

JpegCoding Coding(bool arithmetic, bool progressive, std::vector<jpeg_scan_info> scans = {}) {
  JpegCoding coding;
  coding.arithmetic = arithmetic;
  coding.progressive = progressive;
  coding.scans = std::move(scans);
  return coding;
}

// The same with luma sampled h x v against 1 x 1 chroma, and a restart
// marker after every `restartRows` rows of blocks (none for 0).
JpegCoding Sampled(JpegCoding coding, int h, int v, int restartRows) {
  coding.lumaSampling[0] = h;
  coding.lumaSampling[1] = v;
  coding.restartRows = restartRows;
  return coding;
}

Bytes Encode(unsigned side, int components, const JpegCoding& coding) {
  return EncodeJpeg(side, side, components, testsupport::MakePicture(side, side, components),
                    coding);
}

Bytes WithoutScans(Bytes stream, const std::vector<std::size_t>& doomed) {
  const auto scans = FindJpegScans(stream);
  for (auto at = doomed.rbegin(); at != doomed.rend(); ++at) {
    stream.erase(stream.begin() + scans.at(*at).first, stream.begin() + scans.at(*at).second);
  }
  return stream;
}

// The stream up to its first scan's header, then the end marker: no data.
Bytes WithoutScanData(const Bytes& stream) {
  return CutJpegAt(stream, JpegScanHeaderEnd(stream, FindJpegScans(stream).at(0).first));
}

// The stream with its last scan repeated until it holds `total` scans.
Bytes WithScansRepeated(const Bytes& stream, int total) {
  const auto scans = FindJpegScans(stream);
  const Bytes last(stream.begin() + scans.back().first, stream.begin() + scans.back().second);
  Bytes flood(stream.begin(), stream.begin() + scans.back().second);
  for (int i = static_cast<int>(scans.size()); i < total; ++i) {
    flood.insert(flood.end(), last.begin(), last.end());
  }
  flood.insert(flood.end(), std::begin(kEndOfImage), std::end(kEndOfImage));
  return flood;
}

using JpegHostileStreamTest = testing_support::JpegDecodeTest;

// Where a bounded decode ended: whether it answered true, and the scan the
// codec had reached.
struct DecodeEnd {
  bool decoded;
  int scan;
};

DecodeEnd DecodeWithBounds(const Bytes& stream) {
  Bytes row(JPEG_MAX_DIMENSION * 3);
  JpegErrorManager errors;
  jpeg_decompress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    const int scan = codec.input_scan_number;
    jpeg_destroy_decompress(&codec);
    return {false, scan};
  }
  jpeg_create_decompress(&codec);
  BoundJpegDecoder(&codec);
  jpeg_mem_src(&codec, stream.data(), stream.size());
  jpeg_read_header(&codec, TRUE);
  StartJpegDecode(&codec);
  while (codec.output_scanline < codec.output_height) {
    JSAMPROW rows = row.data();
    jpeg_read_scanlines(&codec, &rows, 1);
  }
  const bool decoded = FinishJpegDecode(&codec, errors);
  const int scan = codec.input_scan_number;
  jpeg_destroy_decompress(&codec);
  return {decoded, scan};
}

// Legitimate streams of every scan layout decode to the reference decoder's
// pixels on every path.
struct Layout {
  const char* what;
  int components;
  JpegCoding coding;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.what; }

class JpegLayoutTest : public JpegHostileStreamTest,
                       public ::testing::WithParamInterface<Layout> {};

TEST_P(JpegLayoutTest, DecodesToTheReferencePixels) {
  const Layout& layout = GetParam();
  const Bytes stream = Encode(35, layout.components, layout.coding);
  const Bytes reference = ReferenceDecodeJpeg(stream);
  ASSERT_EQ(reference.size(), 35u * 35 * layout.components);
  EXPECT_EQ(DecodeEveryWay(stream), reference);
}

INSTANTIATE_TEST_SUITE_P(
    Scans, JpegLayoutTest,
    ::testing::Values(
        Layout{"baseline grey", 1, {}}, Layout{"baseline colour", 3, {}},
        Layout{"progressive grey", 1, Coding(false, true)},
        Layout{"progressive colour", 3, Coding(false, true)},
        Layout{"one scan per component", 3, Coding(false, false, kScanPerComponent)},
        Layout{"progression per component", 3, Coding(false, false, kProgressionPerComponent)},
        Layout{"baseline 4 1 1 with restarts", 3, Sampled({}, 4, 1, 1)},
        Layout{"progressive 4 4 4", 3, Sampled(Coding(false, true), 1, 1, 0)},
        Layout{"progressive 4 2 2 with restarts", 3, Sampled(Coding(false, true), 2, 1, 1)},
        Layout{"progressive grey with restarts", 1, Sampled(Coding(false, true), 1, 1, 2)},
        Layout{"one scan per component 4 1 1 with restarts", 3,
               Sampled(Coding(false, false, kScanPerComponent), 4, 1, 1)}),
    [](const ::testing::TestParamInfo<Layout>& info) {
      std::string name = info.param.what;
      for (char& c : name) c = c == ' ' ? '_' : c;
      return name;
    });

// Segments between scans and bytes after the end marker are no part of the
// picture: a progressive stream with application and comment segments before
// each later scan, then junk after its end, still loads.
TEST_F(JpegHostileStreamTest, SegmentsBetweenScansAndJunkAfterTheEndLoad) {
  const Bytes stream = Encode(67, 3, Coding(false, true));
  const Bytes segments = {0xFF, 0xE1, 0x00, 0x06, 'E', 'x', 'i', 'f',
                          0xFF, 0xFE, 0x00, 0x05, 'n', 'o', 't'};
  const auto scans = FindJpegScans(stream);
  ASSERT_GT(scans.size(), 2u);
  Bytes decorated = stream;
  for (std::size_t i = scans.size() - 1; i >= 1; --i) {
    decorated.insert(decorated.begin() + scans[i].first, segments.begin(), segments.end());
  }
  const Bytes junk = testsupport::Pattern(5000);
  decorated.insert(decorated.end(), junk.begin(), junk.end());
  EXPECT_EQ(DecodeEveryWay(decorated), ReferenceDecodeJpeg(stream));
}

// A component that no scan carries would decode as a flat 0, with a proper
// end marker or without one.
TEST_F(JpegHostileStreamTest, AComponentInNoScanIsRefused) {
  const Bytes sequential = Encode(32, 3, Coding(false, false, kScanPerComponent));
  const Bytes progressive = Encode(32, 3, Coding(false, false, kProgressionPerComponent));
  const Bytes noCr = WithoutScans(sequential, {2});
  const struct {
    const char* what;
    Bytes stream;
  } cases[] = {{"no Cr scan", noCr},
               {"no Cr scan, no end marker", Bytes(noCr.begin(), noCr.end() - 2)},
               {"no luma scan", WithoutScans(sequential, {0})},
               {"no scan of Cb in a progression", WithoutScans(progressive, {1, 4})}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(DecodeEveryWay(c.stream).empty());
    Quietly([&] { EXPECT_FALSE(DecodeWithBounds(c.stream).decoded); });
  }
}

// Arithmetic-coded data that runs out is padded with zeros without a word
// from the codec, so every arithmetic-coded stream is refused, whole or cut,
// its header too; its Huffman twin loads.
TEST_F(JpegHostileStreamTest, ArithmeticCodedStreamsAreRefused) {
  for (const int components : {1, 3}) {
    for (const bool progressive : {false, true}) {
      SCOPED_TRACE(std::to_string(components) + (progressive ? " progressive" : " baseline"));
      const Bytes whole = Encode(48, components, Coding(true, progressive));
      Bytes giant = WithoutScanData(whole);
      ASSERT_TRUE(testsupport::SetJpegFrameSize(&giant, 20000, 20000));
      std::vector<Bytes> streams = {whole, WithoutScanData(whole), giant};
      for (const std::size_t percent : {30, 80, 95}) {
        streams.emplace_back(whole.begin(), whole.begin() + whole.size() * percent / 100);
      }
      for (const Bytes& stream : streams) {
        EXPECT_TRUE(DecodeEveryWay(stream).empty()) << stream.size() << " bytes";
        JpegFile header;
        unsigned char* data = const_cast<unsigned char*>(stream.data());
        unsigned long length = stream.size();
        header.SetJpegBuffer(&data, &length);
        // A cut before the frame leaves a table-only stream: no picture.
        Quietly([&] { EXPECT_TRUE(!header.GetInfo() || header.GetWidth() == 0); });
      }
      const Bytes twin = Encode(48, components, Coding(false, progressive));
      EXPECT_EQ(DecodeEveryWay(twin), ReferenceDecodeJpeg(twin));
    }
  }
}

// A few kilobytes declaring 20000 x 20000 with 499 scans: the decode ends
// at the codec's first warning, while it is still taking in scans, instead
// of visiting every declared block of every scan. Patched, the first scan
// already runs out of data; unpatched, the first repeat of the last scan (a
// refinement) breaks the progression. The time bound only catches a hang.
TEST_F(JpegHostileStreamTest, AFloodEndsAtItsFirstWarning) {
  const Bytes small = Encode(16, 1, Coding(false, true));
  Bytes giant = small;
  ASSERT_TRUE(testsupport::SetJpegFrameSize(&giant, 20000, 20000));
  const Bytes repeated = WithScansRepeated(giant, 499);
  Bytes empty = repeated;  // the repeated scans keep only their headers
  const auto scans = FindJpegScans(repeated);
  for (std::size_t i = scans.size() - 1; i >= 6; --i) {
    empty.erase(empty.begin() + JpegScanHeaderEnd(repeated, scans[i].first),
                empty.begin() + scans[i].second);
  }
  const struct {
    const char* what;
    Bytes stream;
    int endScan;
  } floods[] = {{"giant, repeated", repeated, 1},
                {"giant, empty", empty, 1},
                {"small, repeated", WithScansRepeated(small, 499), 7}};
  for (const auto& flood : floods) {
    SCOPED_TRACE(flood.what);
    ASSERT_LT(flood.stream.size(), 16u * 1024);
    const auto start = std::chrono::steady_clock::now();
    DecodeEnd end{true, 0};
    Quietly([&] { end = DecodeWithBounds(flood.stream); });
    EXPECT_FALSE(end.decoded);
    EXPECT_EQ(end.scan, flood.endScan);
    // As a host does it: the header first, then a buffer of its size.
    JpegFile file;
    unsigned char* data = const_cast<unsigned char*>(flood.stream.data());
    unsigned long length = flood.stream.size();
    file.SetJpegBuffer(&data, &length);
    ASSERT_TRUE(file.GetInfo());
    std::unique_ptr<unsigned char[]> pixels(new unsigned char[file.GetRawSize()]);
    Quietly([&] { EXPECT_FALSE(file.ReadFromMemory(pixels.get())); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  }
}

// Scans that raise no warning are paid for by the data read: a flat picture
// repeating an AC scan is cut once its scans pass the free allowance, while
// the same scans after a DC scan that carries data load.
TEST_F(JpegHostileStreamTest, ScanWorkIsBoundedByTheDataRead) {
  constexpr unsigned kSide = 4096;
  constexpr std::uint64_t kBlocks = (kSide / 8) * (kSide / 8);
  constexpr int kFreeScans = static_cast<int>(kFreeJpegScanBlocks / kBlocks);
  static_assert(kFreeScans + 44 < kMaxJpegScans, "the flood must pass the allowance in time");
  // Flat, and one level per block: no AC data either way, a DC coefficient
  // of about a byte per block for the second.
  Bytes flat(std::size_t{kSide} * kSide, 128), blocky(flat.size());
  const Bytes levels = testsupport::Pattern(kBlocks);
  for (std::size_t i = 0; i < blocky.size(); ++i) {
    blocky[i] = levels[(i / kSide / 8) * (kSide / 8) + i % kSide / 8];
  }
  const JpegCoding coding = Coding(false, false, kRepeatableScans);
  const Bytes flatScans = EncodeJpeg(kSide, kSide, 1, flat, coding);
  const Bytes blockyScans = EncodeJpeg(kSide, kSide, 1, blocky, coding);

  EXPECT_TRUE(DecodeWithBounds(WithScansRepeated(flatScans, kFreeScans)).decoded);
  const Bytes flood = WithScansRepeated(flatScans, kFreeScans + 44);
  const DecodeEnd floodEnd = DecodeWithBounds(flood);
  EXPECT_FALSE(floodEnd.decoded);
  EXPECT_GT(floodEnd.scan, kFreeScans);
  EXPECT_LT(floodEnd.scan, kFreeScans + 44);
  // Files are read in pieces: the bytes of every piece count.
  EXPECT_TRUE(DecodeEveryWay(flood).empty());
  const Bytes paid = WithScansRepeated(blockyScans, kFreeScans + 44);
  EXPECT_EQ(DecodeEveryWay(paid), ReferenceDecodeJpeg(paid));
}

}  // namespace
}  // namespace KVO
