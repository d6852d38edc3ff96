#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testsupport::kJpegTolerance;
using testsupport::MaxBandDifference;
using testsupport::Pattern;
using testsupport::TwoBands;

class JPEGTurboTest : public ImageFileTest {};

// The static functions and JpegFile order colour bytes each their own way,
// so each reads the other's files: a swap on either side shows.
TEST_F(JPEGTurboTest, ReadGivesPicturesTopRowFirstInBlueGreenRed) {
  Bytes colour = TwoBands(35, 39, 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("turbo3.jpg").c_str(), 80, 35, 39, colour.data()));
  int width = 0, height = 0, components = 0;
  ASSERT_TRUE(JPEGTurbo::GetJPEGInfo(Path("turbo3.jpg").c_str(), &width, &height, &components));
  EXPECT_EQ(width, 35);
  EXPECT_EQ(height, 39);
  EXPECT_EQ(components, 3);
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

TEST_F(JPEGTurboTest, ReadersAnswerFailureInProcess) {
  const std::string missing = Path("missing.jpg");
  int width = 7, height = 7, components = 7;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(missing.c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error opening jpeg file " + missing + "\n!");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(missing.c_str(), &width, &height, &components));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error opening jpeg file " + missing + "\n!");

  Bytes picture = Pattern(64 * 64 * 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("t.jpg").c_str(), 80, 64, 64, picture.data()));
  const Bytes good = ReadAll("t.jpg");
  WriteAll("cut.jpg", Bytes(good.begin(), good.begin() + good.size() / 2));
  WriteAll("not.jpg", Bytes(300, 0x42));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), picture.data(), nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("not.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(Path("not.jpg").c_str(), &width, &height, &components));
  const std::string messages = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("Premature end"), std::string::npos) << messages;
  EXPECT_EQ(width + height + components, 21);  // untouched on failure
}

TEST_F(JPEGTurboTest, WritesThatCannotBeMadeOrStoredAnswerFalse) {
  const std::string unwritable = Path("no/such/dir.jpg");
  Bytes picture = TwoBands(64, 64, 3);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(unwritable.c_str(), 80, 1, 1, picture.data()));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "can't open " + unwritable + "\n");
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 0, 1, picture.data()));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 1, -1, picture.data()));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 65501, 1, picture.data()));
  EXPECT_FALSE(std::filesystem::exists(Path("z.jpg")));
  if (!std::filesystem::exists("/dev/full")) return;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG("/dev/full", 80, 64, 64, picture.data()));
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
}

TEST(FlipJPEGTest, ReversesTheRowOrder) {
  struct Case {
    int width, height, channels;
    Bytes expected;
  } cases[] = {{2, 1, 2, {1, 2, 3, 4, 5, 6}},  // one row: unchanged
               {1, 2, 3, {4, 5, 6, 1, 2, 3}},
               {2, 3, 1, {5, 6, 3, 4, 1, 2}},
               {2, 0, 1, {1, 2, 3, 4, 5, 6}},
               {2, -3, 1, {1, 2, 3, 4, 5, 6}}};
  for (const Case& c : cases) {
    Bytes data{1, 2, 3, 4, 5, 6}, scratch(12);
    JPEGTurbo::FlipJPEG(data.data(), c.width, c.height, c.channels, scratch.data());
    EXPECT_EQ(data, c.expected) << c.width << "x" << c.height << "x" << c.channels;
  }
}

}  // namespace
}  // namespace KVO
