#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "imaging/BmpFile.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/ImageFileTestSupport.h"
#include "tests/imaging/JpegTestPictures.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testing_support::kJpegTolerance;
using testing_support::MaxBandDifference;
using testing_support::MaxDifference;
using testing_support::ReadAll;
using testing_support::TwoBands;
using testing_support::WriteAll;

bool HasMarker(const Bytes& stream, unsigned char marker) {
  for (std::size_t i = 0; i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == marker) return true;
  }
  return false;
}
constexpr unsigned char kQuantTables = 0xDB;
constexpr unsigned char kHuffmanTables = 0xC4;
constexpr unsigned char kStartOfFrame = 0xC0;

// Answers a copy of a stream the codec allocated, and frees the original.
Bytes TakeStream(unsigned char* stream, unsigned long length) {
  Bytes copy(stream, stream + length);
  std::free(stream);
  return copy;
}

class JpegFileTest : public ImageFileTest {
 protected:
  void WriteJpeg(const std::string& name, unsigned width, unsigned height, unsigned channels,
                 const Bytes& picture) {
    JpegFile file;
    ASSERT_TRUE(file.Open(Path(name).c_str(), false));
    ASSERT_TRUE(file.WriteFile(width, height, channels, picture.data(), 0));
  }

  Bytes Encode(JpegFile& file, unsigned width, unsigned height, unsigned channels,
               const Bytes& picture) {
    unsigned char* stream = nullptr;
    unsigned long length = 0;
    EXPECT_TRUE(file.SetJpegBuffer(&stream, &length));
    EXPECT_TRUE(file.WriteToMemory(width, height, channels, picture.data()));
    return TakeStream(stream, length);
  }

  // Decodes stream through GetInfo and ReadFromMemory; empty on failure.
  static Bytes Decode(JpegFile& file, const Bytes& stream) {
    unsigned char* data = const_cast<unsigned char*>(stream.data());
    unsigned long length = stream.size();
    file.SetJpegBuffer(&data, &length);
    if (!file.GetInfo()) return {};
    Bytes picture(file.GetRawSize());
    if (!file.ReadFromMemory(picture.data())) return {};
    return picture;
  }
};

TEST_F(JpegFileTest, NewObjectWritesCompleteStreamsOfThreeChannels) {
  JpegFile writer;
  EXPECT_EQ(writer.GetChannels(), 3u);
  const Bytes picture = TwoBands(32, 32, 3);
  const Bytes stream = Encode(writer, 32, 32, 3, picture);
  EXPECT_TRUE(HasMarker(stream, kQuantTables));
  EXPECT_TRUE(HasMarker(stream, kHuffmanTables));
  EXPECT_TRUE(HasMarker(stream, kStartOfFrame));  // baseline forced
}

// Round trips: channel count x size x file or memory.
class JpegRoundTripTest : public JpegFileTest,
                          public ::testing::WithParamInterface<
                              std::tuple<unsigned, std::pair<unsigned, unsigned>, bool>> {};

TEST_P(JpegRoundTripTest, ReadsBackTheSamePictureBottomRowFirst) {
  const auto [channels, size, inMemory] = GetParam();
  const auto [width, height] = size;
  const Bytes picture = TwoBands(width, height, channels);

  Bytes read;
  JpegFile reader;
  if (inMemory) {
    JpegFile writer;
    read = Decode(reader, Encode(writer, width, height, channels, picture));
    ASSERT_FALSE(read.empty());
  } else {
    WriteJpeg("trip.jpg", width, height, channels, picture);
    ASSERT_TRUE(reader.Open(Path("trip.jpg").c_str(), true));
    ASSERT_TRUE(reader.GetInfo());
    read.resize(reader.GetRawSize());
    ASSERT_TRUE(reader.ReadFile(read.data()));
  }
  EXPECT_TRUE(reader.IsOk());
  EXPECT_EQ(reader.GetWidth(), width);
  EXPECT_EQ(reader.GetHeight(), height);
  EXPECT_EQ(reader.GetChannels(), channels);
  EXPECT_FALSE(reader.IsFlipped());
  ASSERT_EQ(read.size(), picture.size());
  // Only the band edge may blur; compare the first and last rows.
  const std::size_t rowBytes = std::size_t{width} * channels;
  for (std::size_t i = 0; i < rowBytes; ++i) {
    ASSERT_NEAR(read[i], picture[i], kJpegTolerance) << "bottom row " << i;
    ASSERT_NEAR(read[read.size() - 1 - i], picture[picture.size() - 1 - i], kJpegTolerance)
        << "top row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Pictures, JpegRoundTripTest,
                         ::testing::Combine(::testing::Values(1u, 3u),
                                            ::testing::Values(std::make_pair(48u, 32u),
                                                              std::make_pair(35u, 39u),
                                                              std::make_pair(1u, 1u)),
                                            ::testing::Bool()));

TEST_F(JpegFileTest, ColourBytesAreBlueGreenRed) {
  // A pure blue picture must come back blue, not red.
  Bytes blue(16 * 16 * 3);
  for (std::size_t i = 0; i < blue.size(); i += 3) blue[i] = 255;
  JpegFile writer, reader;
  const Bytes read = Decode(reader, Encode(writer, 16, 16, 3, blue));
  ASSERT_EQ(read.size(), blue.size());
  EXPECT_LE(MaxDifference(read, blue), kJpegTolerance);
}

TEST_F(JpegFileTest, WritesAreRefusedForUnsupportedGeometry) {
  const Bytes picture(8 * 8 * 4, 100);
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("refused.jpg").c_str(), false));
  EXPECT_FALSE(file.WriteFile(8, 8, 2, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(8, 8, 4, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(0, 8, 3, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(8, 0, 3, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(65501, 1, 1, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(1, 65501, 1, picture.data(), 0));
  EXPECT_FALSE(file.WriteFile(8, 8, 3, nullptr, 0));
  EXPECT_TRUE(file.IsOk());
  file.Close();
  EXPECT_EQ(std::filesystem::file_size(Path("refused.jpg")), 0u);
}

TEST_F(JpegFileTest, InfoWithoutFileOrStreamIsRefused) {
  JpegFile file;
  EXPECT_FALSE(file.GetInfo());
  unsigned char* stream = nullptr;
  unsigned long length = 0;
  file.SetJpegBuffer(&stream, &length);
  EXPECT_FALSE(file.GetInfo());
  // A stream of length 0 never reaches the codec.
  unsigned char byte = 0xFF;
  stream = &byte;
  EXPECT_FALSE(file.GetInfo());
  EXPECT_FALSE(file.ReadFromMemory(&byte));
}

TEST_F(JpegFileTest, WriteToMemoryNeedsAnEmptyStream) {
  const Bytes picture = TwoBands(8, 8, 3);
  unsigned char existing = 0;
  unsigned char* stream = &existing;
  unsigned long length = 0;
  JpegFile file;
  file.SetJpegBuffer(&stream, &length);
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, picture.data()));
  stream = nullptr;
  length = 1;
  EXPECT_FALSE(file.WriteToMemory(8, 8, 3, picture.data()));
  length = 0;
  ASSERT_TRUE(file.WriteToMemory(8, 8, 3, picture.data()));
  ASSERT_NE(stream, nullptr);
  EXPECT_GT(length, 0u);
  const Bytes taken = TakeStream(stream, length);
  EXPECT_EQ(taken[0], 0xFF);
  EXPECT_EQ(taken[1], 0xD8);
}

TEST_F(JpegFileTest, ReopeningClosesTheFirstFile) {
  const Bytes picture = TwoBands(8, 8, 1);
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("a.jpg").c_str(), false));
  ASSERT_TRUE(file.Open(Path("b.jpg").c_str(), false));
  ASSERT_TRUE(file.WriteFile(8, 8, 1, picture.data(), 0));
  EXPECT_EQ(file.Close(), 0);
  EXPECT_EQ(std::filesystem::file_size(Path("a.jpg")), 0u);
  EXPECT_GT(std::filesystem::file_size(Path("b.jpg")), 0u);
  EXPECT_FALSE(file.Open(nullptr, true));
}

TEST_F(JpegFileTest, TableOnlyStreamReadsAsEmptyPictureWhenNotHeadless) {
  JpegFile maker;
  ASSERT_TRUE(maker.WriteHeaderToFile(Path("tables.hdr").c_str()));
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("tables.hdr").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_EQ(file.GetWidth(), 0u);
  EXPECT_EQ(file.GetHeight(), 0u);
  EXPECT_EQ(file.GetChannels(), 0u);
}

// Headless streams: where the reader's header comes from x where the
// image stream comes from.
enum class HeaderSource { File, Memory, Afresh };

class HeadlessJpegTest : public JpegFileTest,
                         public ::testing::WithParamInterface<std::tuple<HeaderSource, bool>> {};

TEST_P(HeadlessJpegTest, StreamWithoutTablesDecodesWithTheHeader) {
  const auto [source, streamInFile] = GetParam();
  const Bytes picture = TwoBands(40, 32, 3);
  JpegFile writer;
  writer.SetHeadless(true);
  writer.SetQuality(70);
  const Bytes stream = Encode(writer, 40, 32, 3, picture);
  EXPECT_FALSE(HasMarker(stream, kQuantTables));
  EXPECT_FALSE(HasMarker(stream, kHuffmanTables));

  JpegFile reader;
  switch (source) {
    case HeaderSource::File:
      ASSERT_TRUE(writer.WriteHeaderToFile(Path("tables.hdr").c_str()));
      ASSERT_TRUE(reader.ReadHeaderFromFile(Path("tables.hdr").c_str()));
      break;
    case HeaderSource::Memory: {
      unsigned char* header = nullptr;
      unsigned long headerSize = 0;
      writer.WriteHeaderToMemory(&header, &headerSize);
      ASSERT_NE(header, nullptr);
      const Bytes copy = TakeStream(header, headerSize);
      EXPECT_TRUE(HasMarker(copy, kQuantTables));
      reader.ReadHeaderFromMemory(const_cast<unsigned char*>(copy.data()), copy.size());
      break;
    }
    case HeaderSource::Afresh:
      reader.SetHeadless(true);
      reader.SetQuality(70);
      break;
  }

  Bytes read;
  if (streamInFile) {
    WriteAll(Path("image.jph"), stream);
    ASSERT_TRUE(reader.Open(Path("image.jph").c_str(), true));
    ASSERT_TRUE(reader.GetInfo());
    read.resize(reader.GetRawSize());
    ASSERT_TRUE(reader.ReadFile(read.data()));
  } else {
    read = Decode(reader, stream);
  }
  ASSERT_EQ(read.size(), picture.size());
  EXPECT_LE(MaxBandDifference(read, picture, 40, 32, 3), kJpegTolerance);
}

INSTANTIATE_TEST_SUITE_P(Sources, HeadlessJpegTest,
                         ::testing::Combine(::testing::Values(HeaderSource::File,
                                                              HeaderSource::Memory,
                                                              HeaderSource::Afresh),
                                            ::testing::Bool()));

TEST_F(JpegFileTest, HeadlessStreamWithoutTheHeaderIsRefusedInProcess) {
  const Bytes picture = TwoBands(16, 16, 3);
  JpegFile writer;
  writer.SetHeadless(true);
  const Bytes stream = Encode(writer, 16, 16, 3, picture);
  JpegFile reader;  // not headless: the tables are missing
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(Decode(reader, stream).empty());
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
  EXPECT_FALSE(reader.IsOk());
}

TEST_F(JpegFileTest, SetQualityMakesTheNextHeaderAfresh) {
  JpegFile file;
  unsigned char* first = nullptr;
  unsigned char* second = nullptr;
  unsigned long firstSize = 0, secondSize = 0;
  file.WriteHeaderToMemory(&first, &firstSize);
  file.SetQuality(30);
  file.WriteHeaderToMemory(&second, &secondSize);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(TakeStream(first, firstSize), TakeStream(second, secondSize));
}

TEST_F(JpegFileTest, FailedHeaderReadsLeaveNoHeaderAndSetHeadless) {
  WriteAll(Path("empty.hdr"), {});
  JpegFile reader;
  EXPECT_FALSE(reader.ReadHeaderFromFile(Path("empty.hdr").c_str()));
  EXPECT_FALSE(reader.ReadHeaderFromFile(Path("missing.hdr").c_str()));
  EXPECT_FALSE(reader.WriteHeaderToFile(Path("no/such/dir.hdr").c_str()));

  // Headless now, with a header made from its own settings, which match
  // the writer's defaults.
  JpegFile writer;
  writer.SetHeadless(true);
  const Bytes picture = TwoBands(16, 16, 3);
  const Bytes read = Decode(reader, Encode(writer, 16, 16, 3, picture));
  EXPECT_LE(MaxBandDifference(read, picture, 16, 16, 3), kJpegTolerance);
}

TEST_F(JpegFileTest, HeaderWriteThatCannotBeStoredAnswersFalse) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  JpegFile file;
  EXPECT_FALSE(file.WriteHeaderToFile("/dev/full"));
}

TEST_F(JpegFileTest, HeaderFromMemoryIsCopiedAndEmptyOnesAreIgnored) {
  JpegFile writer;
  unsigned char* header = nullptr;
  unsigned long headerSize = 0;
  writer.WriteHeaderToMemory(&header, &headerSize);
  ASSERT_NE(header, nullptr);
  JpegFile reader;
  reader.ReadHeaderFromMemory(header, headerSize);
  std::fill(header, header + headerSize, 0);  // the reader keeps its own copy
  std::free(header);
  ASSERT_TRUE(reader.WriteHeaderToFile(Path("copy.hdr").c_str()));
  const Bytes copy = ReadAll(Path("copy.hdr"));
  EXPECT_TRUE(HasMarker(copy, kQuantTables));

  // Nothing stored after an empty one: the header is made afresh.
  reader.ReadHeaderFromMemory(nullptr, 10);
  unsigned char* fresh = nullptr;
  unsigned long freshSize = 0;
  reader.WriteHeaderToMemory(&fresh, &freshSize);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(TakeStream(fresh, freshSize), copy);
}

TEST_F(JpegFileTest, ReadingColourAsOneChannelGivesGrey) {
  const Bytes picture = TwoBands(16, 16, 3);
  JpegFile writer, reader;
  const Bytes stream = Encode(writer, 16, 16, 3, picture);
  unsigned char* data = const_cast<unsigned char*>(stream.data());
  unsigned long length = stream.size();
  reader.SetJpegBuffer(&data, &length);
  ASSERT_TRUE(reader.GetInfo());
  reader.SetChannels(1);
  Bytes grey(reader.GetRawSize() + 1, 0xA5);
  ASSERT_EQ(grey.size(), 16u * 16u + 1u);
  ASSERT_TRUE(reader.ReadFromMemory(grey.data()));
  EXPECT_EQ(grey.back(), 0xA5);
}

// Damaged streams: every one answers false in-process, with the ready flag
// clear, and nothing is written beyond the reported size.
class DamagedJpegTest : public JpegFileTest {
 protected:
  void SetUp() override {
    JpegFileTest::SetUp();
    WriteJpeg("good.jpg", 64, 64, 3, testing_support::Pattern(64 * 64 * 3));
  }
  // Runs GetInfo + ReadFile; answers whether both succeeded.
  bool ReadBack(const std::string& name, JpegFile& file) {
    if (!file.Open(Path(name).c_str(), true)) return false;
    ::testing::internal::CaptureStderr();
    bool result = file.GetInfo();
    if (result) {
      Bytes picture(file.GetRawSize());
      result = file.ReadFile(picture.data());
    }
    codecMessage_ = ::testing::internal::GetCapturedStderr();
    return result;
  }
  std::string codecMessage_;
};

TEST_F(DamagedJpegTest, TruncatedStreamIsRefused) {
  TruncateBy(Path("good.jpg"), std::filesystem::file_size(Path("good.jpg")) / 2);
  JpegFile file;
  EXPECT_FALSE(ReadBack("good.jpg", file));
  EXPECT_FALSE(file.IsOk());
  EXPECT_NE(codecMessage_.find("Premature end"), std::string::npos) << codecMessage_;
}

TEST_F(DamagedJpegTest, CorruptEntropyDataIsRefused) {
  // An end-of-image marker in the middle of the scan data: the codec only
  // warns and pads the rest of the picture.
  const Bytes bytes = ReadAll(Path("good.jpg"));
  std::size_t scan = 0;
  while (scan + 1 < bytes.size() && !(bytes[scan] == 0xFF && bytes[scan + 1] == 0xDA)) {
    ++scan;
  }
  const std::size_t middle = scan + (bytes.size() - scan) / 2;
  ASSERT_LT(middle + 2, bytes.size() - 2);
  OverwriteByte(Path("good.jpg"), middle, 0xFF);
  OverwriteByte(Path("good.jpg"), middle + 1, 0xD9);
  JpegFile file;
  EXPECT_FALSE(ReadBack("good.jpg", file));
  EXPECT_FALSE(file.IsOk());
}

TEST_F(DamagedJpegTest, NonJpegFileIsRefusedByInfo) {
  WriteAll(Path("not.jpg"), Bytes(200, 0x42));
  JpegFile file;
  EXPECT_FALSE(ReadBack("not.jpg", file));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(codecMessage_.empty());
  unsigned char byte = 0;
  EXPECT_FALSE(file.ReadFile(&byte));
}

TEST_F(DamagedJpegTest, EmptyFileIsRefused) {
  TruncateBy(Path("good.jpg"), std::filesystem::file_size(Path("good.jpg")));
  JpegFile file;
  EXPECT_FALSE(ReadBack("good.jpg", file));
}

TEST_F(DamagedJpegTest, GrownDimensionsAreRefusedOrStayInsideTheBuffer) {
  // The frame header's height and width follow 0xFFC0, length and precision.
  Bytes bytes = ReadAll(Path("good.jpg"));
  std::size_t sof = 0;
  while (sof + 1 < bytes.size() && !(bytes[sof] == 0xFF && bytes[sof + 1] == kStartOfFrame)) {
    ++sof;
  }
  ASSERT_LT(sof + 9, bytes.size());
  bytes[sof + 5] = 0xFF;  // height 0xFF40
  bytes[sof + 7] = 0xFF;  // width 0xFF40
  WriteAll(Path("grown.jpg"), bytes);
  JpegFile file;
  EXPECT_FALSE(ReadBack("grown.jpg", file));
}

TEST_F(DamagedJpegTest, FileReplacedAfterInfoIsNeverReadPastTheBuffer) {
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("good.jpg").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  Bytes picture(file.GetRawSize() + 1, 0xA5);
  // A larger picture arrives in the same open file.
  JpegFile bigger;
  ASSERT_TRUE(bigger.Open(Path("good.jpg").c_str(), false));
  ASSERT_TRUE(bigger.WriteFile(128, 64, 3, TwoBands(128, 64, 3).data(), 0));
  bigger.Close();
  EXPECT_FALSE(file.ReadFile(picture.data()));
  EXPECT_EQ(picture.back(), 0xA5);
}

TEST_F(DamagedJpegTest, ReadWithoutInfoIsRefused) {
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("good.jpg").c_str(), true));
  unsigned char byte = 0xA5;
  EXPECT_FALSE(file.ReadFile(&byte));
  EXPECT_EQ(byte, 0xA5);
}

TEST_F(DamagedJpegTest, ChannelCountTheDecoderCannotGiveIsRefused) {
  JpegFile file;
  ASSERT_TRUE(file.Open(Path("good.jpg").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  file.SetChannels(4);
  Bytes picture(64 * 64 * 4);
  EXPECT_FALSE(file.ReadFile(picture.data()));
  EXPECT_FALSE(file.IsOk());
}

TEST_F(DamagedJpegTest, FullDiskFailsTheWrite) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  JpegFile file;
  ASSERT_TRUE(file.Open("/dev/full", false));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(file.WriteFile(64, 64, 3, TwoBands(64, 64, 3).data(), 0));
  ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(file.IsOk());
}

}  // namespace
}  // namespace KVO
