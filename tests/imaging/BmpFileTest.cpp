#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "imaging/BmpFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testing_support::LoadLE16;
using testing_support::LoadLE32;
using testing_support::Pattern;
using testing_support::ReadAll;
using testing_support::WriteAll;

class BmpFileTest : public ImageFileTest {
 protected:
  // Writes a picture with BmpFile and answers the file's bytes.
  void WriteBmp(const std::string& name, unsigned width, unsigned height, unsigned channels,
                const unsigned char* data, unsigned stride = 0) {
    BmpFile file;
    ASSERT_TRUE(file.Open(Path(name).c_str(), false));
    EXPECT_TRUE(file.WriteFile(width, height, channels, data, stride));
    EXPECT_TRUE(file.IsOk());
  }
  Bytes WriteAndLoad(const std::string& name, unsigned width, unsigned height, unsigned channels,
                     const unsigned char* data, unsigned stride = 0) {
    WriteBmp(name, width, height, channels, data, stride);
    return ReadAll(Path(name));
  }
  // Opens name for reading and runs GetInfo; answers GetInfo's result.
  bool Info(BmpFile& file, const std::string& name) {
    EXPECT_TRUE(file.Open(Path(name).c_str(), true));
    return file.GetInfo();
  }
};

TEST_F(BmpFileTest, GreyImageHasPaletteAndPaddedRows) {
  const unsigned char pixels[] = {1, 2, 3, 4, 5, 6};
  const Bytes bytes = WriteAndLoad("grey.bmp", 3, 2, 1, pixels);
  ASSERT_EQ(bytes.size(), 1086u);
  EXPECT_EQ(bytes[0], 'B');
  EXPECT_EQ(bytes[1], 'M');
  EXPECT_EQ(LoadLE32(bytes, 2), 1086u);
  EXPECT_EQ(LoadLE32(bytes, 6), 0u);
  EXPECT_EQ(LoadLE32(bytes, 10), 1078u);
  EXPECT_EQ(LoadLE32(bytes, 14), 40u);
  EXPECT_EQ(LoadLE32(bytes, 18), 3u);
  EXPECT_EQ(LoadLE32(bytes, 22), 2u);
  EXPECT_EQ(LoadLE16(bytes, 26), 1u);
  EXPECT_EQ(LoadLE16(bytes, 28), 8u);
  EXPECT_EQ(LoadLE32(bytes, 30), 0u);
  EXPECT_EQ(LoadLE32(bytes, 34), 8u);
  for (std::size_t offset = 38; offset < 54; offset += 4) {
    EXPECT_EQ(LoadLE32(bytes, offset), 0u) << offset;
  }
  for (unsigned i = 0; i < 256; ++i) {
    for (unsigned b = 0; b < 4; ++b) {
      ASSERT_EQ(bytes[54 + 4 * i + b], i) << "palette entry " << i;
    }
  }
  const Bytes rows(bytes.begin() + 1078, bytes.end());
  EXPECT_EQ(rows, (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
}

TEST_F(BmpFileTest, ColourRowsOfFourPixelsNeedNoFill) {
  const Bytes pixels = Pattern(4 * 2 * 3);
  const Bytes bytes = WriteAndLoad("colour.bmp", 4, 2, 3, pixels.data());
  ASSERT_EQ(bytes.size(), 78u);
  EXPECT_EQ(LoadLE32(bytes, 2), 78u);
  EXPECT_EQ(LoadLE32(bytes, 10), 54u);
  EXPECT_EQ(LoadLE16(bytes, 28), 24u);
  EXPECT_EQ(LoadLE32(bytes, 34), 24u);
  EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()), pixels);
}

TEST_F(BmpFileTest, FourChannelsGive32BitsAndNoPalette) {
  const Bytes pixels = Pattern(3 * 3 * 4);
  const Bytes bytes = WriteAndLoad("bgra.bmp", 3, 3, 4, pixels.data());
  ASSERT_EQ(bytes.size(), 54u + 36u);
  EXPECT_EQ(LoadLE32(bytes, 10), 54u);
  EXPECT_EQ(LoadLE16(bytes, 28), 32u);
  EXPECT_EQ(Bytes(bytes.begin() + 54, bytes.end()), pixels);
}

TEST_F(BmpFileTest, StrideIsHonouredAndGapBytesAreNeverWritten) {
  // Two rows of 3 grey pixels, 8 bytes apart, with 0xEE between them.
  const unsigned char buffer[] = {1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 4, 5, 6, 0xEE};
  const Bytes bytes = WriteAndLoad("stride.bmp", 3, 2, 1, buffer, 8);
  ASSERT_EQ(bytes.size(), 1086u);
  EXPECT_EQ(Bytes(bytes.begin() + 1078, bytes.end()), (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));

  // Rows that need no fill but are not packed go row by row too.
  const Bytes wide = Pattern(2 * 16);
  const Bytes strided = WriteAndLoad("stride4.bmp", 4, 2, 3, wide.data(), 16);
  ASSERT_EQ(strided.size(), 54u + 24u);
  EXPECT_TRUE(std::equal(wide.begin(), wide.begin() + 12, strided.begin() + 54));
  EXPECT_TRUE(std::equal(wide.begin() + 16, wide.begin() + 28, strided.begin() + 66));
}

TEST_F(BmpFileTest, ZeroHeightWritesHeadersOnly) {
  const unsigned char pixel = 0;
  const Bytes bytes = WriteAndLoad("empty.bmp", 5, 0, 3, &pixel);
  ASSERT_EQ(bytes.size(), 54u);
  EXPECT_EQ(LoadLE32(bytes, 2), 54u);
}

// Round trips over channel counts and widths that need 0 to 3 fill bytes.
class BmpRoundTripTest : public BmpFileTest,
                         public ::testing::WithParamInterface<std::tuple<unsigned, unsigned>> {};

TEST_P(BmpRoundTripTest, ReadsBackWhatWasWritten) {
  const auto [channels, width] = GetParam();
  const unsigned height = 39;
  const Bytes pixels = Pattern(std::size_t{width} * height * channels, width);
  WriteBmp("trip.bmp", width, height, channels, pixels.data());

  BmpFile file;
  ASSERT_TRUE(Info(file, "trip.bmp"));
  EXPECT_EQ(file.GetWidth(), width);
  EXPECT_EQ(file.GetHeight(), height);
  EXPECT_EQ(file.GetChannels(), channels);
  EXPECT_FALSE(file.IsFlipped());
  ASSERT_EQ(file.GetRawSize(), pixels.size());
  Bytes read(pixels.size() + 1, 0xA5);  // one guard byte
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_TRUE(file.IsOk());
  EXPECT_EQ(read.back(), 0xA5);
  read.pop_back();
  EXPECT_EQ(read, pixels);
}

INSTANTIATE_TEST_SUITE_P(ChannelsAndWidths, BmpRoundTripTest,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u),
                                            ::testing::Values(1u, 2u, 3u, 4u, 35u)));

TEST_F(BmpFileTest, NegativeHeightDeliversRowsTopRowFirst) {
  const Bytes pixels = Pattern(5 * 3 * 3);
  WriteBmp("down.bmp", 5, 3, 3, pixels.data());
  OverwriteLE32(Path("down.bmp"), 22, static_cast<std::uint32_t>(-3));

  BmpFile file;
  ASSERT_TRUE(Info(file, "down.bmp"));
  EXPECT_EQ(file.GetHeight(), 3u);
  EXPECT_TRUE(file.IsFlipped());
  Bytes read(file.GetRawSize());
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, pixels);  // file order, unchanged
}

TEST_F(BmpFileTest, GreyFileWithOffset54IsReadBehindAnUncountedPalette) {
  const unsigned char pixels[] = {10, 20, 30, 40, 50, 60, 70, 80};
  WriteBmp("quirk.bmp", 4, 2, 1, pixels);
  OverwriteLE32(Path("quirk.bmp"), 10, 54);

  BmpFile file;
  ASSERT_TRUE(Info(file, "quirk.bmp"));
  Bytes read(8);
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, Bytes(pixels, pixels + 8));
}

TEST_F(BmpFileTest, DataOffsetFromTheHeaderIsFollowed) {
  // A colour file whose pixels start 8 bytes later than usual.
  const Bytes pixels = Pattern(4 * 2 * 3);
  Bytes bytes = WriteAndLoad("offset.bmp", 4, 2, 3, pixels.data());
  bytes.insert(bytes.begin() + 54, 8, 0x77);
  bytes[10] = 62;
  WriteAll(Path("offset.bmp"), bytes);

  BmpFile file;
  ASSERT_TRUE(Info(file, "offset.bmp"));
  Bytes read(pixels.size());
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, pixels);
}

TEST_F(BmpFileTest, OneAndFourBitFilesReportNoChannelsAndReadNothing) {
  for (std::uint16_t bits : {1, 4}) {
    const Bytes pixels = Pattern(8 * 2 * 1);
    WriteBmp("low.bmp", 8, 2, 1, pixels.data());
    OverwriteLE16(Path("low.bmp"), 28, bits);
    BmpFile file;
    ASSERT_TRUE(Info(file, "low.bmp")) << bits;
    EXPECT_EQ(file.GetChannels(), 0u);
    EXPECT_EQ(file.GetRawSize(), 0u);
    unsigned char guard = 0x5A;
    EXPECT_TRUE(file.ReadFile(&guard));
    EXPECT_EQ(guard, 0x5A);
  }
}

TEST_F(BmpFileTest, NullBufferIsRefusedButKeepsTheObjectReady) {
  const Bytes pixels = Pattern(3 * 3 * 3);
  WriteBmp("ready.bmp", 3, 3, 3, pixels.data());
  BmpFile file;
  ASSERT_TRUE(Info(file, "ready.bmp"));
  EXPECT_FALSE(file.ReadFile(nullptr));
  EXPECT_TRUE(file.IsOk());
  Bytes read(file.GetRawSize());
  EXPECT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, pixels);
}

TEST_F(BmpFileTest, SecondOpenIsRefusedAndTheFirstFileStaysOpen) {
  const Bytes pixels = Pattern(2 * 2 * 3);
  WriteBmp("first.bmp", 2, 2, 3, pixels.data());
  BmpFile file;
  ASSERT_TRUE(file.Open(Path("first.bmp").c_str(), true));
  EXPECT_FALSE(file.Open(Path("other.bmp").c_str(), false));
  EXPECT_FALSE(std::filesystem::exists(Path("other.bmp")));
  ASSERT_TRUE(file.GetInfo());
  EXPECT_EQ(file.GetWidth(), 2u);
}

TEST_F(BmpFileTest, OpenRefusesNullEmptyAndMissingNames) {
  BmpFile file;
  EXPECT_FALSE(file.Open(nullptr, true));
  EXPECT_FALSE(file.Open("", true));
  EXPECT_FALSE(file.Open(Path("missing.bmp").c_str(), true));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.GetInfo());
}

TEST_F(BmpFileTest, ReadWithoutInfoIsRefused) {
  const Bytes pixels = Pattern(2 * 2 * 3);
  WriteBmp("noinfo.bmp", 2, 2, 3, pixels.data());
  BmpFile file;
  ASSERT_TRUE(file.Open(Path("noinfo.bmp").c_str(), true));
  unsigned char byte = 0;
  EXPECT_FALSE(file.ReadFile(&byte));
}

TEST_F(BmpFileTest, WritesThatDoNotFitTheHeaderAreRefusedBeforeWriting) {
  const unsigned char pixel = 0;
  struct Case {
    unsigned width, height, channels;
  };
  // The data pointer is never read for these: each is refused up front.
  for (const Case& c : {Case{65536, 65536, 1},    // file size above 4 GiB
                        Case{0x80000000u, 1, 1},  // width beyond int32
                        Case{1, 0x80000000u, 1},  // height beyond int32
                        Case{0x40000000u, 1, 4},  // row length 4 GiB
                        Case{1, 1, 8192}}) {      // bits per pixel > 16 bit
    BmpFile file;
    ASSERT_TRUE(file.Open(Path("big.bmp").c_str(), false));
    EXPECT_FALSE(file.WriteFile(c.width, c.height, c.channels, &pixel, 0))
        << c.width << "x" << c.height << "x" << c.channels;
  }
  EXPECT_EQ(std::filesystem::file_size(Path("big.bmp")), 0u);

  BmpFile file;
  ASSERT_TRUE(file.Open(Path("null.bmp").c_str(), false));
  EXPECT_FALSE(file.WriteFile(1, 1, 3, nullptr, 0));
}

TEST_F(BmpFileTest, ShortWriteIsReportedAsFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Bytes pixels = Pattern(64 * 64 * 3);
  BmpFile file;
  ASSERT_TRUE(file.Open("/dev/full", false));
  EXPECT_FALSE(file.WriteFile(64, 64, 3, pixels.data(), 0));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.WriteFile(64, 64, 3, pixels.data(), 0));
}

TEST_F(BmpFileTest, ReadsFromAnAdoptedMemoryStream) {
  const Bytes pixels = Pattern(3 * 2 * 3);
  Bytes bytes = WriteAndLoad("mem.bmp", 3, 2, 3, pixels.data());
  std::FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  ASSERT_NE(stream, nullptr);
  BmpFile file;
  ASSERT_TRUE(file.OpenStream(stream));
  EXPECT_FALSE(file.OpenStream(stream));
  ASSERT_TRUE(file.GetInfo());
  Bytes read(file.GetRawSize());
  ASSERT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, pixels);
}

// Damaged files: write a valid 35 x 39 picture, damage it, expect refusal.
struct Damage {
  const char* what;
  void (*apply)(const std::string& path);
  bool infoFails;  // else GetInfo passes and ReadFile must fail
};

class DamagedBmpTest : public BmpFileTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedBmpTest, IsRefusedWithoutTouchingMemoryBeyondTheBuffer) {
  const Bytes pixels = Pattern(35 * 39 * 3);
  WriteBmp("damaged.bmp", 35, 39, 3, pixels.data());
  GetParam().apply(Path("damaged.bmp"));

  BmpFile file;
  ASSERT_TRUE(file.Open(Path("damaged.bmp").c_str(), true));
  if (GetParam().infoFails) {
    EXPECT_FALSE(file.GetInfo());
    EXPECT_FALSE(file.IsOk());
    return;
  }
  ASSERT_TRUE(file.GetInfo());
  // Exactly GetRawSize() bytes: ASan reports any write beyond.
  std::vector<unsigned char> read(file.GetRawSize());
  EXPECT_FALSE(file.ReadFile(read.data()));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.ReadFile(read.data()));
}

using Fixture = ImageFileTest;

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedBmpTest,
    ::testing::Values(
        Damage{"HeaderCutShort",
               [](const std::string& p) {
                 Fixture::TruncateBy(p, std::filesystem::file_size(p) - 53);
               },
               true},
        Damage{"Empty",
               [](const std::string& p) { Fixture::TruncateBy(p, std::filesystem::file_size(p)); },
               true},
        Damage{"LastRowCutShort", [](const std::string& p) { Fixture::TruncateBy(p, 1); }, false},
        Damage{"HalfThePixelsMissing",
               [](const std::string& p) { Fixture::TruncateBy(p, 35 * 39 * 3 / 2); }, false},
        Damage{"OddBitsPerPixel", [](const std::string& p) { Fixture::OverwriteLE16(p, 28, 7); },
               true},
        Damage{"NegativeBitsPerPixel",
               [](const std::string& p) { Fixture::OverwriteLE16(p, 28, 0xFFE8); }, true},
        Damage{"MostNegativeHeight",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 22, 0x80000000u); }, true},
        Damage{"WidthGrownBeyondTheLimit",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 18, 0x7FFFFFFFu); }, true},
        Damage{"HeightGrownBeyondTheLimit",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 22, 0x7FFFFFFFu); }, true},
        Damage{"WidthGrownWithinTheLimit",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 18, 4000); }, false},
        Damage{"HeightGrownWithinTheLimit",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 22, 400); }, false},
        Damage{"DepthGrownTo32Bits",
               [](const std::string& p) { Fixture::OverwriteLE16(p, 28, 32); }, false},
        Damage{"DataOffsetBeyondTheEnd",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 10, 1u << 30); }, false},
        Damage{"NegativeDataOffset",
               [](const std::string& p) { Fixture::OverwriteLE32(p, 10, 0xFFFFFF00u); }, false}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace KVO
