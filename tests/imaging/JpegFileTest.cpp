#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "imaging/JPEGTurbo.h"
#include "imaging/JpegErrorManager.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/ImageFileTestSupport.h"
#include "tests/support/AddressSpaceLimit.h"
#include "tests/support/JpegStreams.h"
#include "tests/support/TestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testsupport::FindJpegMarker;
using testsupport::kJpegTolerance;
using testsupport::MaxBandDifference;
using testsupport::Pattern;
using testsupport::TwoBands;

constexpr unsigned char kQuantTables = 0xDB;
constexpr unsigned char kHuffmanTables = 0xC4;
constexpr unsigned char kStartOfFrame = 0xC0;  // baseline

// Offset of the last 0xFF marker pair; the stream must hold one.
std::size_t FindLastMarker(const Bytes& stream, unsigned char marker) {
  std::size_t at = stream.size() - 2;
  while (stream[at] != 0xFF || stream[at + 1] != marker) --at;
  return at;
}
bool HasMarker(const Bytes& stream, unsigned char marker) {
  return FindJpegMarker(stream, marker) < stream.size();
}

// Answers a copy of a stream the codec allocated, and frees the original.
Bytes TakeStream(unsigned char* stream, unsigned long length) {
  Bytes copy(stream, stream + length);
  std::free(stream);
  return copy;
}

class JpegFileTest : public ImageFileTest {
 protected:
  // Encodes Pattern pixels (or the given ones, top row first) straight
  // through the codec, for streams JpegFile never writes: other colour spaces
  // and progressive scans (numScans -1: the codec's own progression).
  static Bytes EncodeWithCodec(unsigned side, int components, J_COLOR_SPACE in,
                               J_COLOR_SPACE stored, int numScans = 0,
                               const jpeg_scan_info* scans = nullptr,
                               const Bytes* given = nullptr) {
    testsupport::JpegCoding coding;
    coding.inColorSpace = in;
    coding.storedColorSpace = stored;
    coding.progressive = numScans < 0;
    if (numScans > 0) coding.scans.assign(scans, scans + numScans);
    return testsupport::EncodeJpeg(side, side, components,
                                   given ? *given : Pattern(std::size_t{side} * side * components),
                                   coding);
  }
  void WriteJpeg(const std::string& name, unsigned width, unsigned height, unsigned channels,
                 const Bytes& picture) {
    JpegFile file;
    ASSERT_TRUE(file.Open(Path(name).c_str(), false));
    ASSERT_TRUE(file.WriteFile(width, height, channels, picture.data(), 0));
  }
  // Encodes TwoBands(width, height, channels) in memory.
  static Bytes Encode(JpegFile& file, unsigned width, unsigned height, unsigned channels) {
    unsigned char* stream = nullptr;
    unsigned long length = 0;
    EXPECT_TRUE(file.SetJpegBuffer(&stream, &length));
    EXPECT_TRUE(
        file.WriteToMemory(width, height, channels, TwoBands(width, height, channels).data()));
    return TakeStream(stream, length);
  }
  // Decodes stream through GetInfo and ReadFromMemory; empty on failure.
  static Bytes Decode(JpegFile& file, const Bytes& stream) {
    unsigned char* data = const_cast<unsigned char*>(stream.data());
    unsigned long length = stream.size();
    file.SetJpegBuffer(&data, &length);
    if (!file.GetInfo()) return {};
    Bytes picture(file.GetRawSize());
    return file.ReadFromMemory(picture.data()) ? picture : Bytes{};
  }
  static Bytes HeaderBytes(JpegFile& file) {
    unsigned char* header = nullptr;
    unsigned long headerSize = 0;
    file.WriteHeaderToMemory(&header, &headerSize);
    return header == nullptr ? Bytes{} : TakeStream(header, headerSize);
  }
};

// Round trips: the reader's tables (in the stream, or for a headless stream a
// header from a file, from memory or made afresh) x channels x size x file or memory.
enum class Tables { InStream, HeaderFile, HeaderInMemory, Afresh };

class JpegRoundTripTest : public JpegFileTest,
                          public ::testing::WithParamInterface<
                              std::tuple<Tables, unsigned, std::pair<unsigned, unsigned>, bool>> {};

TEST_P(JpegRoundTripTest, ReadsBackTheSamePictureBottomRowFirst) {
  const auto [tables, channels, size, throughFile] = GetParam();
  const auto [width, height] = size;
  JpegFile writer, reader;
  writer.SetHeadless(tables != Tables::InStream);
  writer.SetQuality(70);
  Bytes stream;
  if (throughFile) {
    ASSERT_TRUE(writer.Open(Path("trip.jpg").c_str(), false));
    ASSERT_TRUE(
        writer.WriteFile(width, height, channels, TwoBands(width, height, channels).data(), 0));
    writer.Close();
    stream = ReadAll("trip.jpg");
  } else {
    stream = Encode(writer, width, height, channels);
  }
  EXPECT_EQ(HasMarker(stream, kQuantTables), tables == Tables::InStream);
  EXPECT_EQ(HasMarker(stream, kHuffmanTables), tables == Tables::InStream);
  if (tables == Tables::HeaderFile) {
    ASSERT_TRUE(writer.WriteHeaderToFile(Path("tables.hdr").c_str()));
    ASSERT_TRUE(reader.ReadHeaderFromFile(Path("tables.hdr").c_str()));
  } else if (tables == Tables::HeaderInMemory) {
    Bytes header = HeaderBytes(writer);
    EXPECT_TRUE(HasMarker(header, kQuantTables));
    reader.ReadHeaderFromMemory(header.data(), header.size());
  } else if (tables == Tables::Afresh) {
    reader.SetHeadless(true);
    reader.SetQuality(70);
  }
  Bytes read;
  if (throughFile) {
    ASSERT_TRUE(ReadBack(reader, "trip.jpg", &read));
  } else {
    read = Decode(reader, stream);
  }
  EXPECT_EQ(std::tuple(reader.IsOk(), reader.GetWidth(), reader.GetHeight(), reader.GetChannels(),
                       reader.IsFlipped()),
            std::tuple(true, width, height, channels, false));
  EXPECT_LE(MaxBandDifference(read, TwoBands(width, height, channels), width * channels),
            kJpegTolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, JpegRoundTripTest,
    ::testing::Combine(::testing::Values(Tables::InStream, Tables::HeaderFile,
                                         Tables::HeaderInMemory, Tables::Afresh),
                       ::testing::Values(1u, 3u),
                       ::testing::Values(std::make_pair(48u, 32u), std::make_pair(35u, 39u),
                                         std::make_pair(1u, 1u)),
                       ::testing::Bool()));

TEST_F(JpegFileTest, RefusedWritesLeaveNothingAndReopeningClosesTheFirstFile) {
  const Bytes picture(8 * 8 * 4, 100);
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("refused.jpg").c_str(), false));
  for (auto [w, h, c] : {std::tuple{8u, 8u, 2u},
                         {8u, 8u, 4u},
                         {0u, 8u, 3u},
                         {8u, 0u, 3u},
                         {65501u, 1u, 1u},
                         {1u, 65501u, 1u}}) {
    EXPECT_FALSE(file.WriteFile(w, h, c, picture.data(), 0)) << w << "x" << h << "x" << c;
  }
  EXPECT_FALSE(file.WriteFile(8, 8, 3, nullptr, 0));
  EXPECT_TRUE(file.IsOk());
  ASSERT_TRUE(file.Open(Path("b.jpg").c_str(), false));
  ASSERT_TRUE(file.WriteFile(8, 8, 1, picture.data(), 0));
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(std::filesystem::file_size(Path("refused.jpg")), 0u);
  EXPECT_GT(std::filesystem::file_size(Path("b.jpg")), 0u);
  EXPECT_FALSE(file.Open(nullptr, true));

  if (!std::filesystem::exists("/dev/full")) return;
  ASSERT_TRUE(file.Open("/dev/full", false));
  Quietly([&] { EXPECT_FALSE(file.WriteFile(64, 64, 3, TwoBands(64, 64, 3).data(), 0)); });
  EXPECT_FALSE(file.IsOk());
}

TEST_F(JpegFileTest, MemoryStreamsMustBeEmptyToWriteAndNonEmptyToRead) {
  JpegFile file;
  EXPECT_FALSE(file.GetInfo());  // neither a file nor a stream
  unsigned char byte = 0xFF;
  unsigned char* stream = nullptr;
  unsigned long length = 0;
  file.SetJpegBuffer(&stream, &length);
  EXPECT_FALSE(file.GetInfo());
  EXPECT_FALSE(file.ReadFromMemory(&byte));
  stream = &byte;  // length 0 never reaches the codec
  EXPECT_FALSE(file.GetInfo());
  EXPECT_FALSE(file.ReadFromMemory(&byte));
  EXPECT_FALSE(file.ReadFromMemory(nullptr));

  // The caller's stream pointer must be null: a stream it still holds is
  // neither overwritten nor freed.
  const Bytes picture = TwoBands(8, 8, 3);
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, picture.data()));
  EXPECT_EQ(stream, &byte);
  stream = nullptr;
  length = 1;
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, picture.data()));
  length = 0;
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, nullptr));
  EXPECT_FALSE(file.WriteToMemory(8, 8, 2, picture.data()));
  EXPECT_TRUE(file.IsOk());  // argument refusals keep the flag
  ASSERT_TRUE(file.WriteToMemory(8, 8, 3, picture.data()));
  ASSERT_NE(stream, nullptr);
  const Bytes taken = TakeStream(stream, length);
  EXPECT_EQ(FindJpegMarker(taken, 0xD8), 0u);
  // A new object writes complete baseline streams.
  EXPECT_TRUE(HasMarker(taken, kQuantTables));
  EXPECT_TRUE(HasMarker(taken, kHuffmanTables));
  EXPECT_TRUE(HasMarker(taken, kStartOfFrame));

  // Without the length's address nothing is read or written.
  Bytes garbage(200, 0x42), pixels(8 * 8 * 3);
  unsigned char* data = garbage.data();
  JpegFile partial;
  partial.SetJpegBuffer(&data, nullptr);
  EXPECT_FALSE(partial.GetInfo());
  EXPECT_FALSE(partial.ReadFromMemory(pixels.data()));
  data = nullptr;
  EXPECT_FALSE(partial.WriteToMemory(8, 8, 3, picture.data()));
  EXPECT_TRUE(partial.IsOk());
  // A read that failed clears the flag, which the memory steps then need.
  data = garbage.data();
  length = garbage.size();
  partial.SetJpegBuffer(&data, &length);
  Quietly([&] { EXPECT_FALSE(partial.GetInfo()); });
  EXPECT_FALSE(partial.IsOk());
  EXPECT_FALSE(partial.ReadFromMemory(pixels.data()));
  data = nullptr;
  length = 0;
  EXPECT_FALSE(partial.WriteToMemory(8, 8, 3, picture.data()));
  EXPECT_EQ(data, nullptr);
}

// File steps need an open file, memory steps the caller's stream; each is
// refused in the other mode with the ready flag kept. A stream handed over
// replaces the open file.
TEST_F(JpegFileTest, FileAndMemoryStepsAreRefusedInTheOtherMode) {
  const Bytes picture = TwoBands(8, 8, 3);
  Bytes pixels(8 * 8 * 3);
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("mode.jpg").c_str(), false));
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, picture.data()));
  EXPECT_FALSE(file.ReadFromMemory(pixels.data()));
  EXPECT_TRUE(file.IsOk());
  ASSERT_TRUE(file.WriteFile(8, 8, 3, picture.data(), 0));
  file.Close();

  unsigned char* stream = nullptr;
  unsigned long length = 0;
  ASSERT_TRUE(file.SetJpegBuffer(&stream, &length));
  EXPECT_FALSE(file.WriteFile(8, 8, 3, picture.data(), 0));
  EXPECT_FALSE(file.ReadFile(pixels.data()));
  EXPECT_TRUE(file.IsOk());
  EXPECT_EQ(stream, nullptr);

  Bytes other = ReadAll("mode.jpg");
  EXPECT_FALSE(file.OpenStream(nullptr));
  ASSERT_TRUE(file.OpenStream(fmemopen(other.data(), other.size(), "rb")));
  ASSERT_TRUE(file.Open(Path("mode.jpg").c_str(), true));
  ASSERT_TRUE(file.OpenStream(fmemopen(other.data(), other.size(), "rb")));  // closes mode.jpg
  ASSERT_TRUE(file.GetInfo());
  ASSERT_TRUE(file.ReadFile(pixels.data()));
  EXPECT_LE(MaxBandDifference(pixels, picture, 8 * 3), kJpegTolerance);
}

TEST_F(JpegFileTest, StoredHeadersAreCopiesMadeAfreshWhenDiscarded) {
  JpegFile writer, reader;
  {
    Bytes header = HeaderBytes(writer);
    reader.ReadHeaderFromMemory(header.data(), header.size());
    std::fill(header.begin(), header.end(), 0);  // and freed: the reader keeps a copy
  }
  ASSERT_TRUE(reader.WriteHeaderToFile(Path("copy.hdr").c_str()));
  const Bytes copy = ReadAll("copy.hdr");
  EXPECT_TRUE(HasMarker(copy, kQuantTables));
  reader.ReadHeaderFromMemory(nullptr, 10);  // nothing stored: made afresh
  EXPECT_EQ(HeaderBytes(reader), copy);
  reader.ReadHeaderFromMemory(const_cast<unsigned char*>(copy.data()), 0);
  EXPECT_EQ(HeaderBytes(reader), copy);
  // GenerateHeader makes one only when none is stored.
  reader.GenerateHeader();
  EXPECT_EQ(HeaderBytes(reader), copy);
  reader.SetQuality(30);
  const Bytes coarse = HeaderBytes(reader);
  EXPECT_NE(coarse, copy);
  JpegFile other;
  other.ReadHeaderFromMemory(const_cast<unsigned char*>(coarse.data()), coarse.size());
  other.GenerateHeader();
  EXPECT_EQ(HeaderBytes(other), coarse);

  // Not headless, a table-only stream reads as a 0 x 0 picture.
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("copy.hdr").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_EQ(std::tuple(file.GetWidth(), file.GetHeight(), file.GetChannels()),
            std::tuple(0u, 0u, 0u));
}

TEST_F(JpegFileTest, FailedHeaderReadsAndWritesAnswerFalseAndLeaveNoHeader) {
  WriteAll("empty.hdr", {});
  JpegFile writer, reader;
  EXPECT_FALSE(reader.ReadHeaderFromFile(Path("empty.hdr").c_str()));
  EXPECT_FALSE(reader.ReadHeaderFromFile(Path("missing.hdr").c_str()));
  EXPECT_FALSE(reader.ReadHeaderFromFile(nullptr));
  EXPECT_FALSE(reader.WriteHeaderToFile(Path("no/such/dir.hdr").c_str()));
  EXPECT_FALSE(reader.WriteHeaderToFile(nullptr));
  if (std::filesystem::exists("/dev/full")) {
    const int descriptors = testsupport::OpenDescriptorCount();
    EXPECT_FALSE(reader.WriteHeaderToFile("/dev/full"));
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
  }
  // Null outputs are skipped.
  unsigned long size = 7;
  unsigned char mark = 0;
  unsigned char* header = &mark;
  reader.WriteHeaderToMemory(nullptr, &size);
  reader.WriteHeaderToMemory(&header, nullptr);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(header, &mark);
  // Headless now, with a header made from its own settings, which match
  // the writer's defaults.
  writer.SetHeadless(true);
  const Bytes read = Decode(reader, Encode(writer, 16, 16, 3));
  EXPECT_LE(MaxBandDifference(read, TwoBands(16, 16, 3), 16 * 3), kJpegTolerance);
}

// Damaged streams answer false in-process with the ready flag clear, and
// nothing is written beyond the size the object reports.
class DamagedJpegTest : public JpegFileTest {
 protected:
  const Bytes good_ = EncodeWithCodec(64, 3, JCS_RGB, JCS_YCbCr);
};

TEST_F(DamagedJpegTest, DamagedStreamsAreRefusedFromFilesAndMemory) {
  // An end-of-image marker mid-scan: the codec only warns and pads the rest.
  Bytes corrupt = good_;
  const std::size_t middle = (FindJpegMarker(good_, 0xDA) + good_.size()) / 2;
  corrupt[middle] = 0xFF;
  corrupt[middle + 1] = 0xD9;
  // The frame header's height and width, grown to 0xFF40 each.
  Bytes grown = good_;
  const std::size_t frame = FindJpegMarker(good_, kStartOfFrame);
  grown.at(frame + 5) = grown.at(frame + 7) = 0xFF;
  // Stuffed 0xFF bytes mid-scan: runs of one bits no standard code has.
  Bytes entropy = good_;
  for (int i = 0; i < 24; i += 2) entropy[middle + i] = 0xFF, entropy[middle + i + 1] = 0;
  JpegFile headless;  // its stream lacks the tables a plain reader needs
  headless.SetHeadless(true);
  struct Damage {
    const char* what;
    Bytes bytes;
    const char* codecSays;  // part of the codec's message, if it must print
    bool noHeader = false;  // GetInfo refuses too, as a load of it would
  } damages[] = {
      {"truncated", Bytes(good_.begin(), good_.begin() + good_.size() / 2), "Premature end"},
      {"corrupt", corrupt, ""},
      {"not JPEG", Bytes(200, 0x42), "Not a JPEG"},
      {"empty", {}, ""},
      {"headless", Encode(headless, 16, 16, 3), ""},
      {"grown", grown, nullptr},
      {"bad Huffman codes", entropy, "Huffman"},
      {"CMYK", EncodeWithCodec(16, 4, JCS_CMYK, JCS_CMYK), nullptr, true},
      {"YCCK", EncodeWithCodec(16, 4, JCS_CMYK, JCS_YCCK), nullptr, true},
      {"two components", EncodeWithCodec(16, 2, JCS_UNKNOWN, JCS_UNKNOWN), nullptr, true}};
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    WriteAll("bad.jpg", d.bytes);
    JpegFile fromFile, fromMemory;
    const std::string message = Quietly([&] { EXPECT_FALSE(ReadBack(fromFile, "bad.jpg")); });
    EXPECT_FALSE(fromFile.IsOk());
    EXPECT_TRUE(!d.noHeader || fromFile.GetWidth() == 0);
    Bytes again(64 * 64 * 3);  // room for any picture GetInfo accepted here
    EXPECT_FALSE(fromFile.ReadFile(again.data()));
    if (d.codecSays != nullptr) {
      EXPECT_NE(message.find(d.codecSays), std::string::npos) << message;
      EXPECT_FALSE(message.empty());
    }
    Quietly([&] { EXPECT_TRUE(Decode(fromMemory, d.bytes).empty()); });
    // An empty stream is refused before the codec, so the flag may stay.
    EXPECT_TRUE(d.bytes.empty() || !fromMemory.IsOk());
  }
}

// The caller sized its buffer from GetInfo; whatever the stream or the
// object's channel count says by the time of the read, the decoder must
// deliver exactly that geometry or nothing.
TEST_F(DamagedJpegTest, ReadsAreRefusedUnlessTheDecoderGivesTheReportedGeometry) {
  WriteAll("good.jpg", good_);
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("good.jpg").c_str(), true));
  unsigned char byte = 0xA5;
  EXPECT_FALSE(file.ReadFile(&byte));  // no GetInfo: nothing reported yet
  EXPECT_EQ(byte, 0xA5);
  ASSERT_TRUE(file.GetInfo());
  EXPECT_FALSE(file.ReadFile(nullptr));
  EXPECT_TRUE(file.IsOk());
  file.SetChannels(4);
  Bytes picture(64 * 64 * 4);
  EXPECT_FALSE(file.ReadFile(picture.data()));
  EXPECT_FALSE(file.IsOk());
  // A wider, then a taller picture replaces the file after GetInfo.
  for (auto [width, height] : {std::pair{128u, 64u}, {64u, 128u}}) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height);
    WriteAll("good.jpg", good_);
    file.SetChannels(3);
    ASSERT_TRUE(file.GetInfo());
    Bytes guarded(file.GetRawSize() + 1, 0xA5);
    WriteJpeg("good.jpg", width, height, 3, TwoBands(width, height, 3));
    EXPECT_FALSE(file.ReadFile(guarded.data()));
    EXPECT_EQ(guarded.back(), 0xA5);
    EXPECT_FALSE(file.IsOk());
  }

  // Three components stored as RGB rather than YCbCr come out as B, G, R too.
  JpegFile rgb;
  const Bytes topDown = TwoBands(32, 32, 3, true);
  EXPECT_LE(MaxBandDifference(
                Decode(rgb, EncodeWithCodec(32, 3, JCS_EXT_BGR, JCS_RGB, 0, nullptr, &topDown)),
                TwoBands(32, 32, 3), 32 * 3),
            kJpegTolerance);

  // One channel the decoder can give: colour read as grey.
  JpegFile grey;
  Bytes stream = good_;
  unsigned char* data = stream.data();
  unsigned long length = stream.size();
  grey.SetJpegBuffer(&data, &length);
  ASSERT_TRUE(grey.GetInfo());
  grey.SetChannels(1);
  Bytes read(grey.GetRawSize() + 1, 0xA5);
  ASSERT_EQ(read.size(), 64u * 64u + 1u);
  ASSERT_TRUE(grey.ReadFromMemory(read.data()));
  EXPECT_EQ(read.back(), 0xA5);
}

// A missing end marker, or stray bytes before it, keeps the intact picture
// when the scans were complete; a progression cut between scans does not.
TEST_F(DamagedJpegTest, ADamagedTrailerAloneKeepsThePicture) {
  const Bytes progressive = EncodeWithCodec(48, 3, JCS_RGB, JCS_YCbCr, -1);
  for (const Bytes& intact : {good_, progressive}) {
    JpegFile reader;
    const Bytes picture = Decode(reader, intact);
    ASSERT_FALSE(picture.empty());
    const Bytes unended(intact.begin(), intact.end() - 2);
    Bytes stray = intact;
    stray.insert(stray.end() - 2, {0x12, 0x34, 0x56});
    for (const Bytes& damaged : {unended, stray}) {
      Quietly([&] { EXPECT_EQ(Decode(reader, damaged), picture); });
    }
  }
  const Bytes cut(progressive.begin(), progressive.begin() + FindLastMarker(progressive, 0xDA));
  JpegFile reader;
  Quietly([&] { EXPECT_TRUE(Decode(reader, cut).empty()); });
}

// Repeating a full-precision AC scan changes no pixel and raises no warning,
// so only the scan bound stops it, on every decoding path.
TEST_F(DamagedJpegTest, AScanFloodIsCutAtTheBound) {
  const jpeg_scan_info scans[] = {{1, {0}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}};
  const Bytes two = EncodeWithCodec(32, 1, JCS_GRAYSCALE, JCS_GRAYSCALE, 2, scans);
  const std::size_t lastScan = FindLastMarker(two, 0xDA);
  for (int scanCount : {kMaxJpegScans, kMaxJpegScans + 1}) {
    SCOPED_TRACE(scanCount);
    Bytes flood(two.begin(), two.end() - 2);
    for (int i = 2; i < scanCount; ++i)
      flood.insert(flood.end(), two.begin() + lastScan, two.end() - 2);
    flood.insert(flood.end(), {0xFF, 0xD9});
    WriteAll("flood.jpg", flood);
    const bool admitted = scanCount <= kMaxJpegScans;
    JpegFile fromFile, fromMemory;
    EXPECT_EQ(ReadBack(fromFile, "flood.jpg"), admitted);
    EXPECT_EQ(Decode(fromMemory, flood).empty(), !admitted);
    unsigned char* read = JPEGTurbo::ReadJPEG(Path("flood.jpg").c_str(), nullptr, nullptr);
    EXPECT_EQ(read != nullptr, admitted);
    std::free(read);
  }
}

// In a child whose address space ends at the caller's buffer plus the cap:
// the codec must refuse at its own cap, not run into the system's limit.
void DecodeWithinTheCap(Bytes stream) {
  JpegFile file;
  unsigned char* data = stream.data();
  unsigned long length = stream.size();
  file.SetJpegBuffer(&data, &length);
  if (!file.GetInfo()) testsupport::ExitChild(2);
  unsigned char* pixels = static_cast<unsigned char*>(std::malloc(file.GetRawSize()));
  if (pixels == nullptr || !LimitAddressSpace(kMaxJpegWorkingBytes / 1024 + 64 * 1024)) {
    testsupport::ExitChild(3);
  }
  testsupport::ExitChild(file.ReadFromMemory(pixels) ? 1 : 0);
}

TEST_F(DamagedJpegTest, ADeclaredGiantIsRefusedAtTheWorkingMemoryCap) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes need the address space the test takes";
  // 46340 x 46340 grey: 4 GiB of coefficients behind 2 GiB of pixels.
  Bytes giant = EncodeWithCodec(16, 1, JCS_GRAYSCALE, JCS_GRAYSCALE, -1);
  const std::size_t frame = FindJpegMarker(giant, 0xC2);
  for (std::size_t at : {frame + 5, frame + 7})
    giant.at(at) = 46340 >> 8, giant.at(at + 1) = 46340 & 0xFF;
  EXPECT_EXIT(DecodeWithinTheCap(giant), ::testing::ExitedWithCode(0), "Backing store");
}

// The static functions and JpegFile order colour bytes each their own way,
// so each reads the other's files: a swap on either side shows.
TEST_F(JpegFileTest, StaticReadGivesPicturesTopRowFirstInBlueGreenRed) {
  Bytes colour = TwoBands(35, 39, 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("turbo3.jpg").c_str(), 80, 35, 39, colour.data()));
  int width = 0, height = 0, components = 0;
  ASSERT_TRUE(JPEGTurbo::GetJPEGInfo(Path("turbo3.jpg").c_str(), &width, &height, &components));
  EXPECT_EQ(std::tie(width, height, components), std::tuple(35, 39, 3));
  EXPECT_TRUE(JPEGTurbo::GetJPEGInfo(Path("turbo3.jpg").c_str(), nullptr, nullptr, nullptr));
  JpegFile reader;
  Bytes read;
  ASSERT_TRUE(ReadBack(reader, "turbo3.jpg", &read));
  EXPECT_LE(MaxBandDifference(read, colour, 35 * 3), kJpegTolerance);

  for (unsigned channels : {1u, 3u}) {
    JpegFile writer;
    ASSERT_TRUE(writer.Open(Path(std::to_string(channels) + ".jpg").c_str(), false));
    ASSERT_TRUE(writer.WriteFile(35, 39, channels, TwoBands(35, 39, channels).data(), 0));
  }
  for (const std::string name : {"turbo3", "3", "1"}) {
    SCOPED_TRACE(name);
    const unsigned channels = name.back() - '0';
    const std::string path = Path(name + ".jpg");
    unsigned char* allocated = JPEGTurbo::ReadJPEG(path.c_str(), nullptr, nullptr);
    ASSERT_NE(allocated, nullptr);
    const Bytes topDown(allocated, allocated + 35 * 39 * channels);
    std::free(allocated);
    EXPECT_LE(MaxBandDifference(topDown, TwoBands(35, 39, channels, true), 35 * channels),
              kJpegTolerance);
    // The caller's buffer and row scratch are used and the buffer answered.
    Bytes out(topDown.size() + 1, 0xA5), scratch(35 * channels);
    EXPECT_EQ(JPEGTurbo::ReadJPEG(path.c_str(), out.data(), scratch.data()), out.data());
    EXPECT_EQ(out.back(), 0xA5);
    out.pop_back();
    EXPECT_EQ(out, topDown);
  }
}

TEST_F(JpegFileTest, StaticFunctionsAnswerFailureInProcess) {
  const std::string missing = Path("missing.jpg"), unwritable = Path("no/such/dir.jpg");
  Bytes picture = Pattern(64 * 64 * 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("t.jpg").c_str(), 80, 64, 64, picture.data()));
  const Bytes good = ReadAll("t.jpg");
  WriteAll("cut.jpg", Bytes(good.begin(), good.begin() + good.size() / 2));
  WriteAll("not.jpg", Bytes(300, 0x42));
  int width = 7, height = 7, components = 7;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(missing.c_str(), nullptr, nullptr), nullptr);
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(missing.c_str(), &width, &height, &components));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error opening jpeg file " + missing + "\n!Error opening jpeg file " + missing + "\n!");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), picture.data(), nullptr), nullptr);
  // A frame header grown to 0xFF40 x 0xFF40 colour: beyond 2^31 - 1 bytes,
  // refused before a row is decoded, into a caller's buffer or not.
  Bytes grown = good;
  ASSERT_TRUE(testsupport::SetJpegFrameSize(&grown, 0xFF40, 0xFF40));
  WriteAll("grown.jpg", grown);
  Bytes guarded(64 * 64 * 3, 0xA5);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("grown.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("grown.jpg").c_str(), guarded.data(), nullptr), nullptr);
  EXPECT_EQ(guarded, Bytes(64 * 64 * 3, 0xA5));
  // A progression cut between scans decodes every row, but not the picture.
  const Bytes progressive = EncodeWithCodec(48, 3, JCS_RGB, JCS_YCbCr, -1);
  WriteAll("cut.jpg",
           Bytes(progressive.begin(), progressive.begin() + FindLastMarker(progressive, 0xDA)));
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("not.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(Path("not.jpg").c_str(), &width, &height, &components));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Premature end"), std::string::npos);
  EXPECT_EQ(width + height + components, 21);  // untouched on failure
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(unwritable.c_str(), 80, 1, 1, picture.data()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "can't open " + unwritable + "\n");
  for (auto [w, h] : {std::pair{0, 1}, {1, -1}, {65501, 1}, {1, 65501}})
    EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, w, h, picture.data()));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 1, 1, nullptr));
  EXPECT_FALSE(std::filesystem::exists(Path("z.jpg")));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(nullptr, 80, 1, 1, picture.data()));
  EXPECT_EQ(JPEGTurbo::ReadJPEG(nullptr, nullptr, nullptr), nullptr);
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(nullptr, &width, &height, &components));

  if (!std::filesystem::exists("/dev/full")) return;
  const int descriptors = testsupport::OpenDescriptorCount();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG("/dev/full", 80, 64, 64, picture.data()));
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);  // the device was closed again
}

TEST(FlipJPEGTest, ReversesTheRowOrder) {
  struct Case {
    int width, height, channels;
    Bytes expected;
  } cases[] = {{2, 1, 2, {1, 2, 3, 4, 5, 6}},  // one row: unchanged
               {1, 2, 3, {4, 5, 6, 1, 2, 3}},  // two rows
               {2, 3, 1, {5, 6, 3, 4, 1, 2}},  // three rows
               {2, 0, 1, {1, 2, 3, 4, 5, 6}},  // no rows
               {0, 3, 1, {1, 2, 3, 4, 5, 6}},  // no columns
               {2, 3, 0, {1, 2, 3, 4, 5, 6}},  // no channels
               {2, -3, 1, {1, 2, 3, 4, 5, 6}}};
  for (const Case& c : cases) {
    Bytes data{1, 2, 3, 4, 5, 6}, scratch(12);
    JPEGTurbo::FlipJPEG(data.data(), c.width, c.height, c.channels, scratch.data());
    EXPECT_EQ(data, c.expected) << c.width << "x" << c.height << "x" << c.channels;
  }
  Bytes data{1, 2, 3, 4, 5, 6}, scratch(12);
  JPEGTurbo::FlipJPEG(nullptr, 2, 3, 1, scratch.data());
  JPEGTurbo::FlipJPEG(data.data(), 2, 3, 1, nullptr);
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace KVO
