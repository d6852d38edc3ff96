#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "imaging/BayerFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testsupport::Pattern;

constexpr std::size_t kRow = BayerFile::kWidth;
constexpr std::size_t kFileBytes = static_cast<std::size_t>(BayerFile::kFileBytes);

class BayerFileTest : public ImageFileTest {
 protected:
  void SetUp() override {
    ImageFileTest::SetUp();
    samples_ = Pattern(kFileBytes, 7);
    WriteAll("frame.raw", samples_);
  }
  Bytes samples_;
};

TEST_F(BayerFileTest, ReadsTheFixedGeometryWithTheFilesFirstRowAtTheTop) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_EQ(std::tuple(file.GetWidth(), file.GetHeight(), file.GetChannels(), file.IsFlipped()),
            std::tuple(3376u, 2704u, 1u, false));
  ASSERT_EQ(file.GetRawSize(), kFileBytes);
  EXPECT_FALSE(file.ReadFile(nullptr));
  EXPECT_TRUE(file.IsOk());  // so the next read goes ahead
  Bytes read(kFileBytes);
  ASSERT_TRUE(file.ReadFile(read.data()));
  for (std::size_t row = 0; row < BayerFile::kHeight; ++row) {
    ASSERT_TRUE(std::equal(samples_.begin() + row * kRow, samples_.begin() + (row + 1) * kRow,
                           read.end() - (row + 1) * kRow))
        << "file row " << row;
  }
  EXPECT_FALSE(file.ReadFile(read.data()));  // no rewind: no data left
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.GetInfo());

  // A stream without a descriptor takes another path to the same bytes.
  BayerFile memory;
  ASSERT_TRUE(memory.OpenStream(fmemopen(samples_.data(), kFileBytes, "rb")));
  ASSERT_TRUE(memory.GetInfo());
  Bytes fromMemory(kFileBytes);
  ASSERT_TRUE(memory.ReadFile(fromMemory.data()));
  EXPECT_TRUE(fromMemory == read);
}

TEST_F(BayerFileTest, AnyOtherSizeIsRefused) {
  for (std::size_t size : {kFileBytes - 1, kFileBytes + 1}) {
    WriteAll("odd.raw", Pattern(size));
    BayerFile file;
    EXPECT_FALSE(ReadBack(file, "odd.raw")) << size;
    EXPECT_FALSE(file.IsOk());
    EXPECT_EQ(file.GetRawSize(), 0u);
  }
}

// The size is the only mark of the format, so a stream whose size cannot
// be found is not taken for one.
TEST_F(BayerFileTest, AStreamThatCannotSeekIsRefused) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[1]);
  BayerFile file;
  ASSERT_TRUE(file.OpenStream(fdopen(ends[0], "rb")));
  EXPECT_FALSE(file.GetInfo());
  EXPECT_FALSE(file.IsOk());
  EXPECT_EQ(file.GetRawSize(), 0u);
}

TEST_F(BayerFileTest, FileCutAfterInfoIsAShortReadKeepingTheRowsRead) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  TruncateTo("frame.raw", kFileBytes - kRow - 10);
  Bytes read(kFileBytes, 0);
  EXPECT_FALSE(file.ReadFile(read.data()));
  EXPECT_FALSE(file.IsOk());
  EXPECT_TRUE(std::equal(samples_.begin(), samples_.begin() + kRow, read.end() - kRow));
}

TEST_F(BayerFileTest, WriteAnswersWhetherTheWholeHeldGeometryWasWritten) {
  const unsigned char pixel = 9;
  WriteAll("out.raw", Bytes(100, 1));
  BayerFile out;  // holds 0 x 0 x 0 until GetInfo
  ASSERT_TRUE(out.Open(Path("out.raw").c_str(), false));
  EXPECT_FALSE(out.WriteFile(1, 1, 1, &pixel, 0));
  EXPECT_FALSE(out.WriteFile(3376, 2704, 1, samples_.data(), 0));
  EXPECT_TRUE(out.IsOk());  // writing never changes the ready flag
  EXPECT_TRUE(out.WriteFile(0, 0, 0, &pixel, 0));
  EXPECT_EQ(std::filesystem::file_size(Path("out.raw")), 0u);  // the empty save truncated

  BayerFile readOnly;  // not a single byte can be written
  ASSERT_TRUE(readOnly.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(readOnly.GetInfo());
  EXPECT_FALSE(readOnly.WriteFile(3376, 2704, 1, samples_.data(), 0));
  EXPECT_EQ(ReadAll("frame.raw"), samples_);

  std::FILE* stream = std::fopen(Path("frame.raw").c_str(), "r+b");
  ASSERT_NE(stream, nullptr);
  BayerFile update;
  ASSERT_TRUE(update.OpenStream(stream));
  ASSERT_TRUE(update.GetInfo());
  EXPECT_FALSE(update.WriteFile(3376, 2704, 1, nullptr, 0));
  for (auto [w, h, c] : {std::tuple{3375u, 2704u, 1u}, {3376u, 2703u, 1u}, {3376u, 2704u, 3u}}) {
    EXPECT_FALSE(update.WriteFile(w, h, c, samples_.data(), 0)) << w << "x" << h << "x" << c;
  }
  EXPECT_EQ(ReadAll("frame.raw"), samples_);
  const Bytes replacement = Pattern(kFileBytes, 8);
  EXPECT_TRUE(update.WriteFile(3376, 2704, 1, replacement.data(), 12345));  // buffer order
  EXPECT_EQ(ReadAll("frame.raw"), replacement);

  // What the saver asks before it creates a file: only an empty picture.
  EXPECT_TRUE(BayerFile::IsWritable(0, 0, 0));
  for (auto [w, h, c] : {std::tuple{1u, 0u, 0u}, {0u, 1u, 0u}, {0u, 0u, 1u}, {3376u, 2704u, 1u}}) {
    EXPECT_FALSE(BayerFile::IsWritable(w, h, c)) << w << "x" << h << "x" << c;
  }
}

// The stream's buffer keeps the last bytes until the final flush, so only
// the flush's result shows that they never landed.
TEST_F(BayerFileTest, AWriteWhoseLastByteDoesNotLandAnswersFalse) {
  for (long limit : {BayerFile::kFileBytes, BayerFile::kFileBytes - 1}) {
    SCOPED_TRACE(limit);
    testing_support::FailingSink sink;
    sink.limit = limit;
    sink.size = BayerFile::kFileBytes;
    BayerFile file;
    ASSERT_TRUE(file.OpenStream(sink.Open(true)));
    ASSERT_TRUE(file.GetInfo());
    EXPECT_EQ(file.WriteFile(3376, 2704, 1, samples_.data(), 0), limit == BayerFile::kFileBytes);
  }
}

TEST_F(BayerFileTest, LoadFileReadsAnyGeometryFromTheStartAndRefusesShortFiles) {
  Bytes read(4 * 3);
  ASSERT_TRUE(BayerFile::LoadFile(Path("frame.raw").c_str(), read.data(), 4, 3, 1));
  EXPECT_TRUE(std::equal(samples_.begin(), samples_.begin() + 4, read.begin() + 8));
  EXPECT_TRUE(std::equal(samples_.begin() + 8, samples_.begin() + 12, read.begin()));
  Bytes halves(kFileBytes);  // rows too long to pass through a band
  ASSERT_TRUE(BayerFile::LoadFile(Path("frame.raw").c_str(), halves.data(), kFileBytes / 2, 2, 1));
  EXPECT_TRUE(
      std::equal(samples_.begin(), samples_.end() - kFileBytes / 2, halves.end() - kFileBytes / 2));

  WriteAll("short.raw", Bytes(11, 1));
  Bytes guarded(13, 0xA5);
  EXPECT_FALSE(BayerFile::LoadFile(Path("short.raw").c_str(), guarded.data(), 2, 2, 3));
  EXPECT_EQ(guarded[12], 0xA5);
  EXPECT_FALSE(BayerFile::LoadFile(Path("missing.raw").c_str(), read.data(), 1, 1, 1));
  EXPECT_FALSE(BayerFile::LoadFile(Path("frame.raw").c_str(), nullptr, 1, 1, 1));
  EXPECT_FALSE(BayerFile::LoadFile(nullptr, read.data(), 1, 1, 1));
  EXPECT_TRUE(BayerFile::LoadFile(Path("frame.raw").c_str(), read.data(), 0, 3, 1));  // no bytes
  EXPECT_FALSE(BayerFile::LoadFile(Path("frame.raw").c_str(), read.data(), 65536, 65536, 1));
}

}  // namespace
}  // namespace KVO
