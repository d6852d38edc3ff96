#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "imaging/BayerFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testing_support::Pattern;
using testing_support::ReadAll;
using testing_support::WriteAll;

constexpr std::size_t kRow = BayerFile::kWidth;
constexpr std::size_t kFileBytes = static_cast<std::size_t>(BayerFile::kFileBytes);

class BayerFileTest : public ImageFileTest {
 protected:
  void SetUp() override {
    ImageFileTest::SetUp();
    samples_ = Pattern(kFileBytes, 7);
    WriteAll(Path("frame.raw"), samples_);
  }
  Bytes samples_;
};

TEST_F(BayerFileTest, ReadsTheFixedGeometryBottomUp) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_EQ(file.GetWidth(), 3376u);
  EXPECT_EQ(file.GetHeight(), 2704u);
  EXPECT_EQ(file.GetChannels(), 1u);
  EXPECT_FALSE(file.IsFlipped());
  ASSERT_EQ(file.GetRawSize(), kFileBytes);

  Bytes read(kFileBytes);
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_TRUE(file.IsOk());
  // The file's first row is the buffer's last, and every row is reversed.
  for (std::size_t row = 0; row < BayerFile::kHeight; ++row) {
    const std::size_t bufferRow = BayerFile::kHeight - 1 - row;
    ASSERT_TRUE(std::equal(samples_.begin() + row * kRow, samples_.begin() + (row + 1) * kRow,
                           read.begin() + bufferRow * kRow))
        << "file row " << row;
  }
}

TEST_F(BayerFileTest, AnyOtherSizeIsRefused) {
  for (long delta : {-1L, 1L}) {
    Bytes bytes = samples_;
    bytes.resize(static_cast<std::size_t>(BayerFile::kFileBytes + delta));
    WriteAll(Path("odd.raw"), bytes);
    BayerFile file;
    ASSERT_TRUE(file.Open(Path("odd.raw").c_str(), true));
    EXPECT_FALSE(file.GetInfo()) << delta;
    EXPECT_FALSE(file.IsOk());
    EXPECT_EQ(file.GetRawSize(), 0u);
  }
}

TEST_F(BayerFileTest, NullBufferKeepsTheObjectReady) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_FALSE(file.ReadFile(nullptr));
  EXPECT_TRUE(file.IsOk());
  Bytes read(kFileBytes);
  EXPECT_TRUE(file.ReadFile(read.data()));
}

TEST_F(BayerFileTest, SecondReadWithoutRewindFindsNoDataAndClearsReady) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  Bytes read(kFileBytes);
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_FALSE(file.ReadFile(read.data()));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.GetInfo());
}

TEST_F(BayerFileTest, FileCutAfterInfoIsAShortRead) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  TruncateBy(Path("frame.raw"), kRow + 10);
  Bytes read(kFileBytes, 0);
  EXPECT_FALSE(file.ReadFile(read.data()));
  EXPECT_FALSE(file.IsOk());
  // Rows read before the cut are kept (the file's first row is last).
  EXPECT_TRUE(std::equal(samples_.begin(), samples_.begin() + kRow, read.end() - kRow));
}

TEST_F(BayerFileTest, WritingAcceptsOnlyTheGeometryItHolds) {
  const unsigned char pixel = 9;
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("out.raw").c_str(), false));
  EXPECT_FALSE(file.WriteFile(1, 1, 1, &pixel, 0));
  EXPECT_FALSE(file.WriteFile(3376, 2704, 1, samples_.data(), 0));
  EXPECT_TRUE(file.IsOk());  // writing never changes the ready flag
  EXPECT_TRUE(file.WriteFile(0, 0, 0, &pixel, 0));
  EXPECT_EQ(std::filesystem::file_size(Path("out.raw")), 0u);
}

TEST_F(BayerFileTest, WriteAfterInfoPutsTheBufferDownInBufferOrder) {
  std::FILE* stream = std::fopen(Path("frame.raw").c_str(), "r+b");
  ASSERT_NE(stream, nullptr);
  BayerFile file;
  ASSERT_TRUE(file.OpenStream(stream));
  ASSERT_TRUE(file.GetInfo());
  const Bytes replacement = Pattern(kFileBytes, 8);
  EXPECT_TRUE(file.WriteFile(3376, 2704, 1, replacement.data(), 12345));
  EXPECT_EQ(ReadAll(Path("frame.raw")), replacement);
}

TEST_F(BayerFileTest, WriteThatPutsNothingDownIsReportedAsFailure) {
  BayerFile file;
  ASSERT_TRUE(file.Open(Path("frame.raw").c_str(), true));
  ASSERT_TRUE(file.GetInfo());
  // The stream is read-only, so not a single byte can be written.
  EXPECT_FALSE(file.WriteFile(3376, 2704, 1, samples_.data(), 0));
  EXPECT_EQ(ReadAll(Path("frame.raw")), samples_);
}

TEST_F(BayerFileTest, LoadFileReadsAnyGeometryFromTheStart) {
  Bytes read(4 * 3);
  ASSERT_TRUE(BayerFile::LoadFile(Path("frame.raw").c_str(), read.data(), 4, 3, 1));
  EXPECT_TRUE(std::equal(samples_.begin(), samples_.begin() + 4, read.begin() + 8));
  EXPECT_TRUE(std::equal(samples_.begin() + 8, samples_.begin() + 12, read.begin()));

  WriteAll(Path("short.raw"), Bytes(11, 1));
  Bytes guarded(13, 0xA5);
  EXPECT_FALSE(BayerFile::LoadFile(Path("short.raw").c_str(), guarded.data(), 2, 2, 3));
  EXPECT_EQ(guarded[12], 0xA5);
}

TEST_F(BayerFileTest, LoadFileRefusesMissingFilesAndOversizedGeometry) {
  unsigned char byte = 0;
  EXPECT_FALSE(BayerFile::LoadFile(Path("missing.raw").c_str(), &byte, 1, 1, 1));
  EXPECT_FALSE(BayerFile::LoadFile(Path("frame.raw").c_str(), nullptr, 1, 1, 1));
  EXPECT_FALSE(BayerFile::LoadFile(Path("frame.raw").c_str(), &byte, 65536, 65536, 1));
}

}  // namespace
}  // namespace KVO
