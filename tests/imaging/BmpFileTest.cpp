#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <tuple>

#include <gtest/gtest.h>

#include "imaging/BmpFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testsupport::Pattern;

std::uint32_t LoadLE32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | bytes.at(offset + i);
  return value;
}

class BmpFileTest : public ImageFileTest {
 protected:
  // Writes a picture with BmpFile and answers the file's bytes.
  Bytes Write(const std::string& name, unsigned width, unsigned height, unsigned channels,
              const Bytes& data, unsigned stride = 0) {
    BmpFile file;
    EXPECT_TRUE(file.Open(Path(name).c_str(), false));
    EXPECT_TRUE(file.WriteFile(width, height, channels, data.data(), stride));
    EXPECT_TRUE(file.IsOk());
    return ReadAll(name);
  }
};

TEST_F(BmpFileTest, WritesTheExactLayout) {
  const Bytes wide = Pattern(32);  // two rows of 12 bytes, 16 apart
  Bytes wideRows(wide.begin(), wide.begin() + 12);
  wideRows.insert(wideRows.end(), wide.begin() + 16, wide.begin() + 28);
  const Bytes greyRows{1, 2, 3, 0, 4, 5, 6, 0};
  // Zero fill, never the bytes between the caller's rows.
  const Bytes gappy{1, 2, 3, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 4, 5, 6, 0xEE};
  struct Layout {
    unsigned width, height, channels, stride;
    Bytes in, out;
    std::uint32_t dataOffset, bits;
  } cases[] = {{3, 2, 1, 0, {1, 2, 3, 4, 5, 6}, greyRows, 1078, 8},
               {3, 2, 1, 8, gappy, greyRows, 1078, 8},
               {4, 2, 3, 0, Pattern(24), Pattern(24), 54, 24},
               {4, 2, 3, 16, wide, wideRows, 54, 24},  // no fill needed, but not packed
               {3, 3, 4, 0, Pattern(36), Pattern(36), 54, 32},
               {5, 0, 3, 0, {0}, {}, 54, 24}};
  for (const Layout& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.width << "x" << c.height << "x" << c.channels << "/" << c.stride);
    const Bytes bytes = Write("layout.bmp", c.width, c.height, c.channels, c.in, c.stride);
    const std::uint32_t fileBytes = c.dataOffset + c.out.size();
    ASSERT_EQ(bytes.size(), fileBytes);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 2), "BM");
    // The header's fields from offset 2, each 4 bytes but planes and bits
    // per pixel, which share one word.
    const std::uint32_t planesAndBits = 1 | c.bits << 16, imageBytes = fileBytes - c.dataOffset;
    const std::uint32_t fields[] = {
        fileBytes, 0, c.dataOffset, 40, c.width, c.height, planesAndBits, 0, imageBytes, 0, 0,
        0,         0};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
      EXPECT_EQ(LoadLE32(bytes, 2 + 4 * i), fields[i]) << "field at " << 2 + 4 * i;
    }
    // Grey palette: entry i is i, i, i, i (the fourth byte too).
    for (std::size_t i = 54; i < c.dataOffset; ++i) ASSERT_EQ(bytes[i], (i - 54) / 4) << i;
    EXPECT_EQ(Bytes(bytes.begin() + c.dataOffset, bytes.end()), c.out);
  }
  // A second write of the same object starts again at the file's start.
  const Bytes second = Write("second.bmp", 4, 3, 1, Pattern(12, 2));
  BmpFile twice;
  ASSERT_TRUE(twice.Open(Path("twice.bmp").c_str(), false));
  ASSERT_TRUE(twice.WriteFile(4, 3, 1, Pattern(12, 1).data(), 0));
  ASSERT_TRUE(twice.WriteFile(4, 3, 1, Pattern(12, 2).data(), 0));
  EXPECT_EQ(ReadAll("twice.bmp"), second);
}

// Round trips over channel counts and widths that need 0 to 3 fill bytes.
class BmpRoundTripTest : public BmpFileTest,
                         public ::testing::WithParamInterface<std::tuple<unsigned, unsigned>> {};

TEST_P(BmpRoundTripTest, ReadsBackWhatWasWritten) {
  const auto [channels, width] = GetParam();
  const Bytes pixels = Pattern(std::size_t{width} * 39 * channels, width);
  Write("trip.bmp", width, 39, channels, pixels);
  BmpFile file;
  Bytes read;
  ASSERT_TRUE(ReadBack(file, "trip.bmp", &read));
  EXPECT_EQ(std::tuple(file.IsOk(), file.GetWidth(), file.GetHeight(), file.GetChannels(),
                       file.IsFlipped()),
            std::tuple(true, width, 39u, channels, false));
  EXPECT_EQ(read, pixels);
}

INSTANTIATE_TEST_SUITE_P(ChannelsAndWidths, BmpRoundTripTest,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u),
                                            ::testing::Values(1u, 2u, 3u, 4u, 35u)));

TEST_F(BmpFileTest, ReaderFollowsTheHeaderWithItsQuirks) {
  struct Quirk {
    const char* what;
    unsigned channels;
    std::uint32_t offset, value;
    int width;
    unsigned channelsRead;
    bool flipped;
  } quirks[] = {{"negative height: file order, flipped", 3, 22, 0xFFFFFFFDu, 4, 3, true},
                {"one channel saying 54: behind a palette", 1, 10, 54, 4, 1, false},
                {"1 bit: no channels, nothing read", 1, 28, 1, 2, 0, false},
                {"4 bits: no channels, nothing read", 1, 28, 4, 2, 0, false}};
  for (const Quirk& q : quirks) {
    SCOPED_TRACE(q.what);
    const Bytes pixels = Pattern(4 * 3 * q.channels);
    Write("quirk.bmp", 4, 3, q.channels, pixels);
    Overwrite("quirk.bmp", q.offset, q.value, q.width);
    BmpFile file;
    ASSERT_TRUE(file.Open(Path("quirk.bmp").c_str(), true));
    ASSERT_TRUE(file.GetInfo());
    EXPECT_EQ(file.GetHeight(), 3u);
    EXPECT_EQ(file.GetChannels(), q.channelsRead);
    EXPECT_EQ(file.IsFlipped(), q.flipped);
    Bytes read(file.GetRawSize() + 1, 0x5A);  // one guard byte
    ASSERT_TRUE(file.ReadFile(read.data()));
    EXPECT_EQ(read.back(), 0x5A);
    read.pop_back();
    EXPECT_EQ(read, q.channelsRead == 0 ? Bytes{} : pixels);
  }
}

// Bit fields are read as plain bytes only when their masks say B, G, R bytes
// (and at 32 bits an alpha byte or none); the masks follow the 40 bytes of
// the info header, and a header of 56 bytes or more brings an alpha mask.
TEST_F(BmpFileTest, BitFieldsAreReadOnlyWhenTheirMasksMeanPlainBytes) {
  const Bytes red = {0, 0, 0xFF, 0}, green = {0, 0xFF, 0, 0}, blue = {0xFF, 0, 0, 0},
              none = {0, 0, 0, 0}, alpha = {0, 0, 0, 0xFF};
  const auto join = [](std::initializer_list<Bytes> masks) {
    Bytes all;
    for (const Bytes& mask : masks) all.insert(all.end(), mask.begin(), mask.end());
    return all;
  };
  struct Fields {
    const char* what;
    unsigned channels;
    std::uint32_t infoBytes;
    Bytes masks;
    std::size_t keep;  // bytes kept from the start; 0: all
    bool accepted;
  } cases[] = {{"B, G, R", 3, 40, join({red, green, blue}), 0, true},
               {"red and blue swapped", 3, 40, join({blue, green, red}), 0, false},
               {"green in the red byte", 3, 40, join({red, red, blue}), 0, false},
               {"cut inside the masks", 3, 40, join({red, green, blue}), 60, false},
               {"B, G, R and alpha", 4, 56, join({red, green, blue, alpha}), 0, true},
               {"B, G, R, no alpha", 4, 56, join({red, green, blue, none}), 0, true},
               {"alpha at 24 bits", 3, 56, join({red, green, blue, alpha}), 0, false},
               {"alpha in the red byte", 4, 56, join({red, green, blue, red}), 0, false},
               {"16 bits", 2, 40, join({red, green, blue}), 0, false}};
  for (const Fields& f : cases) {
    SCOPED_TRACE(f.what);
    const Bytes pixels = Pattern(4 * 2 * f.channels);
    Bytes bytes = Write("fields.bmp", 4, 2, f.channels, pixels);
    bytes.insert(bytes.begin() + 54, f.masks.begin(), f.masks.end());
    bytes[10] = static_cast<unsigned char>(54 + f.masks.size());
    bytes[14] = static_cast<unsigned char>(f.infoBytes);
    bytes[30] = 3;
    if (f.keep != 0) bytes.resize(f.keep);
    WriteAll("fields.bmp", bytes);
    BmpFile file;
    Bytes read;
    EXPECT_EQ(ReadBack(file, "fields.bmp", &read), f.accepted);
    EXPECT_TRUE(!f.accepted || read == pixels);
  }
}

// One channel is delivered as grey levels, so the palette (256 entries, or
// as many as the header counts) must be the grey ramp: entry i is i, i, i.
TEST_F(BmpFileTest, OneChannelIsReadOnlyBehindAGreyRamp) {
  struct Palette {
    const char* what;
    std::uint32_t counted;  // the header's palette count; 0: all 256
    std::size_t entry;      // the entry changed
    std::uint32_t value;    // its bytes B, G, R, 0, little-endian
    std::size_t keep;       // bytes kept from the start; 0: all
    bool accepted;
  } palettes[] = {{"blue off the ramp", 0, 7, 0x00070709, 0, false},
                  {"green off the ramp", 0, 7, 0x00070907, 0, false},
                  {"red off the ramp", 0, 7, 0x00090707, 0, false},
                  {"fourth byte differs", 0, 7, 0x00070707, 0, true},
                  {"off the ramp beyond the 16 counted", 16, 20, 0x00FF0000, 0, true},
                  {"off the ramp within the 16 counted", 16, 15, 0x00FF0000, 0, false},
                  {"more than 256 counted", 300, 0, 0, 0, false},
                  {"cut inside the palette", 0, 0, 0, 54 + 100, false}};
  const Bytes pixels = Pattern(4 * 3);
  for (const Palette& p : palettes) {
    SCOPED_TRACE(p.what);
    Write("grey.bmp", 4, 3, 1, pixels);
    Overwrite("grey.bmp", 46, p.counted, 4);
    Overwrite("grey.bmp", 54 + 4 * p.entry, p.value, 4);
    if (p.keep != 0) TruncateTo("grey.bmp", p.keep);
    BmpFile file;
    Bytes read;
    EXPECT_EQ(ReadBack(file, "grey.bmp", &read), p.accepted);
    EXPECT_TRUE(!p.accepted || read == pixels);
  }
}

TEST_F(BmpFileTest, StepsAreRefusedOutOfOrderOrWithoutABuffer) {
  BmpFile file;
  EXPECT_FALSE(file.Open(nullptr, true));
  EXPECT_FALSE(file.Open("", true));
  EXPECT_FALSE(file.Open(Path("missing.bmp").c_str(), true));
  EXPECT_FALSE(file.OpenStream(nullptr));
  EXPECT_FALSE(file.IsOk());
  EXPECT_FALSE(file.GetInfo());

  const Bytes pixels = Pattern(3 * 3 * 3);
  Write("first.bmp", 3, 3, 3, pixels);
  ASSERT_TRUE(file.Open(Path("first.bmp").c_str(), true));
  Bytes read(pixels.size());
  EXPECT_FALSE(file.ReadFile(read.data()));  // no GetInfo yet
  EXPECT_FALSE(file.Open(Path("other.bmp").c_str(), false));
  EXPECT_FALSE(std::filesystem::exists(Path("other.bmp")));
  std::FILE* stream = std::tmpfile();  // refused, so still ours to close
  EXPECT_FALSE(file.OpenStream(stream));
  std::fclose(stream);
  ASSERT_TRUE(file.GetInfo());
  EXPECT_FALSE(file.ReadFile(nullptr));
  EXPECT_TRUE(file.IsOk());  // so the next read goes ahead
  EXPECT_TRUE(file.ReadFile(read.data()));
  EXPECT_EQ(read, pixels);
}

// Header fields are 32 bits wide (width and height signed), so a picture
// whose sizes would wrap them is refused before a byte is written; each
// refused row has a neighbour just inside the limit, and zero heights keep
// one check at a time decisive.
TEST_F(BmpFileTest, WritesThatDoNotFitTheHeaderAreRefusedBeforeWriting) {
  struct Size {
    const char* what;
    unsigned width, height, channels;
    bool writable;
  } sizes[] = {{"widest grey row", 0x7FFFFFFFu, 1, 1, true},
               {"width beyond int32", 0x80000000u, 0, 3, false},
               {"tallest empty picture", 0, 0x7FFFFFFFu, 3, true},
               {"height beyond int32", 0, 0x80000000u, 3, false},
               {"row just under 4 GiB", 0x3FFFFFFFu, 0, 4, true},
               {"row of 4 GiB", 0x40000000u, 0, 4, false},
               {"file just under 4 GiB", 65535, 65535, 1, true},
               {"file above 4 GiB", 65536, 65536, 1, false},
               {"file above 4 GiB by its height alone", 1, 0x7FFFFFFFu, 3, false},
               {"no channels", 1, 1, 0, false},
               {"five channels", 1, 1, 5, false},
               {"bits per pixel beyond 16 bits", 1, 1, 8192, false}};
  const unsigned char pixel = 0;  // never read: no picture here is written row by row
  for (const Size& s : sizes) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(BmpFile::IsWritable(s.width, s.height, s.channels), s.writable);
    if (s.writable && s.height != 0 && s.width != 0) continue;  // gigabytes to write
    BmpFile file;
    ASSERT_TRUE(file.Open(Path("big.bmp").c_str(), false));
    EXPECT_EQ(file.WriteFile(s.width, s.height, s.channels, &pixel, 0), s.writable);
    EXPECT_TRUE(file.IsOk());
    if (!s.writable) {
      EXPECT_EQ(std::filesystem::file_size(Path("big.bmp")), 0u);
      continue;
    }
    // Headers only, with the sizes stored unwrapped.
    const Bytes bytes = ReadAll("big.bmp");
    ASSERT_EQ(bytes.size(), 54u);
    EXPECT_EQ(LoadLE32(bytes, 18), s.width);
    EXPECT_EQ(LoadLE32(bytes, 22), s.height);
  }
  BmpFile null;
  ASSERT_TRUE(null.Open(Path("null.bmp").c_str(), false));
  EXPECT_FALSE(null.WriteFile(1, 1, 3, nullptr, 0));
  EXPECT_TRUE(null.IsOk());
}

// A full device refuses the bytes either while the rows go out or, for a
// picture small enough to stay in the stream's buffer, only when the write
// is flushed at its end; both answer false and refuse the next write.
TEST_F(BmpFileTest, ShortWriteIsReportedAsFailureAlsoWhenOnlyTheFinalFlushShowsIt) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (unsigned side : {64u, 2u}) {
    SCOPED_TRACE(side);
    BmpFile full;
    ASSERT_TRUE(full.Open("/dev/full", false));
    EXPECT_FALSE(full.WriteFile(side, side, 3, Pattern(side * side * 3).data(), 0));
    EXPECT_FALSE(full.IsOk());
    EXPECT_FALSE(full.WriteFile(1, 1, 3, Pattern(3).data(), 0));
  }
}

// Every stage of a write checks its result: the headers, the palette, each
// row and its fill, the packed rows. A failure at any one answers false with
// the ready flag clear.
TEST_F(BmpFileTest, AWriteFailingAtAnyStageAnswersFalse) {
  const Bytes grey = Pattern(3 * 2), colour = Pattern(4 * 2 * 3);
  const Bytes greyFile = Write("grey.bmp", 3, 2, 1, grey);        // rows of 3 bytes and 1 fill
  const Bytes colourFile = Write("colour.bmp", 4, 2, 3, colour);  // packed rows, no fill
  // Grey: headers, palette, then row and fill twice; colour: headers, rows.
  for (unsigned channels : {1u, 3u}) {
    const int writes = channels == 1 ? 6 : 2;
    for (int failAt = 0; failAt <= writes; ++failAt) {
      SCOPED_TRACE(::testing::Message() << channels << " channels, failing write " << failAt);
      testing_support::FailingSink sink;
      sink.failAt = failAt;
      BmpFile file;
      ASSERT_TRUE(file.OpenStream(sink.Open()));
      const bool written = file.WriteFile(channels == 1 ? 3 : 4, 2, channels,
                                          (channels == 1 ? grey : colour).data(), 0);
      EXPECT_EQ(written, failAt == 0);
      EXPECT_EQ(file.IsOk(), failAt == 0);
      EXPECT_EQ(sink.calls, failAt == 0 ? writes : failAt);
      if (failAt == 0) {
        EXPECT_EQ(sink.bytes, channels == 1 ? greyFile : colourFile);
      }
    }
  }
}

TEST_F(BmpFileTest, DamagedFilesAreRefusedWithoutWritingBeyondTheBuffer) {
  constexpr std::uintmax_t kGood = 54 + 108 * 39;  // rows of 105 bytes padded to 108
  struct Damage {
    const char* what;
    std::uintmax_t keep;  // bytes kept from the start
    std::uint32_t offset, value;
    int width;       // of the overwritten field; 0: none
    bool infoFails;  // else GetInfo passes and ReadFile must fail
  } damages[] = {{"HeaderCutShort", 53, 0, 0, 0, true},
                 {"Empty", 0, 0, 0, 0, true},
                 {"LastRowCutShort", kGood - 1, 0, 0, 0, false},
                 {"HalfThePixelsMissing", kGood - 35 * 39 * 3 / 2, 0, 0, 0, false},
                 {"OddBitsPerPixel", kGood, 28, 7, 2, true},
                 {"NegativeBitsPerPixel", kGood, 28, 0xFFE8, 2, true},
                 {"MostNegativeHeight", kGood, 22, 0x80000000u, 4, true},
                 {"WidthGrownBeyondTheLimit", kGood, 18, 0x7FFFFFFFu, 4, true},
                 {"HeightGrownBeyondTheLimit", kGood, 22, 0x7FFFFFFFu, 4, true},
                 {"WidthGrownWithinTheLimit", kGood, 18, 4000, 4, false},
                 {"HeightGrownWithinTheLimit", kGood, 22, 400, 4, false},
                 {"DepthGrownTo32Bits", kGood, 28, 32, 2, false},
                 {"DataOffsetBeyondTheEnd", kGood, 10, 1u << 30, 4, false},
                 {"NegativeDataOffset", kGood, 10, 0xFFFFFF00u, 4, false},
                 {"RunLengthCompressed", kGood, 30, 1, 4, true},
                 {"EmbeddedJpeg", kGood, 30, 4, 4, true},
                 {"EmbeddedPng", kGood, 30, 5, 4, true},
                 {"BitFieldsWithoutMasks", kGood, 30, 3, 4, true},
                 {"ColourPalette", kGood, 28, 8, 2, true}};  // pixel bytes as palette
  const Bytes pixels = Pattern(35 * 39 * 3);
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    Write("damaged.bmp", 35, 39, 3, pixels);
    TruncateTo("damaged.bmp", d.keep);
    if (d.width != 0) Overwrite("damaged.bmp", d.offset, d.value, d.width);
    BmpFile file;
    ASSERT_TRUE(file.Open(Path("damaged.bmp").c_str(), true));
    if (d.infoFails) {
      EXPECT_FALSE(file.GetInfo());
      EXPECT_FALSE(file.IsOk());
      continue;
    }
    ASSERT_TRUE(file.GetInfo());
    Bytes read(file.GetRawSize());
    EXPECT_FALSE(file.ReadFile(read.data()));
    EXPECT_FALSE(file.IsOk());
    EXPECT_FALSE(file.ReadFile(read.data()));
  }
}

}  // namespace
}  // namespace KVO
