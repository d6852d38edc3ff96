#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/ImageFileTestSupport.h"
#include "tests/imaging/JpegTestPictures.h"

namespace KVO {
namespace {

using testing_support::Bytes;
using testing_support::ImageFileTest;
using testing_support::kJpegTolerance;
using testing_support::MaxBandDifference;
using testing_support::ReadAll;
using testing_support::TwoBands;
using testing_support::WriteAll;

// Turns a bottom-up picture top-down (or back).
Bytes FlipRows(const Bytes& picture, std::size_t rowBytes) {
  Bytes flipped;
  for (std::size_t end = picture.size(); end >= rowBytes; end -= rowBytes) {
    flipped.insert(flipped.end(), picture.begin() + (end - rowBytes), picture.begin() + end);
  }
  return flipped;
}

class JPEGTurboTest : public ImageFileTest {};

TEST_F(JPEGTurboTest, ReadGivesTheWrittenPictureTopRowFirstInBlueGreenRed) {
  const Bytes picture = TwoBands(48, 32, 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("t.jpg").c_str(), 90, 48, 32,
                                   const_cast<unsigned char*>(picture.data())));
  unsigned char* read = JPEGTurbo::ReadJPEG(Path("t.jpg").c_str(), nullptr, nullptr);
  ASSERT_NE(read, nullptr);
  const Bytes topDown(read, read + picture.size());
  std::free(read);
  EXPECT_LE(MaxBandDifference(topDown, FlipRows(picture, 48 * 3), 48, 32, 3), kJpegTolerance);

  int width = 0, height = 0, components = 0;
  ASSERT_TRUE(JPEGTurbo::GetJPEGInfo(Path("t.jpg").c_str(), &width, &height, &components));
  EXPECT_EQ(width, 48);
  EXPECT_EQ(height, 32);
  EXPECT_EQ(components, 3);
}

TEST_F(JPEGTurboTest, CallerBuffersAreUsedAndAnswered) {
  const Bytes picture = TwoBands(35, 39, 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("t.jpg").c_str(), 80, 35, 39,
                                   const_cast<unsigned char*>(picture.data())));
  Bytes out(picture.size() + 1, 0xA5);
  Bytes scratch(35 * 3);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("t.jpg").c_str(), out.data(), scratch.data()), out.data());
  EXPECT_EQ(out.back(), 0xA5);
  out.pop_back();
  EXPECT_LE(MaxBandDifference(out, FlipRows(picture, 35 * 3), 35, 39, 3), kJpegTolerance);
}

TEST_F(JPEGTurboTest, GreyPicturesAreCopiedOneBytePerPixel) {
  const Bytes picture = TwoBands(32, 32, 1);
  JpegFile writer;
  ASSERT_TRUE(writer.Open(Path("g.jpg").c_str(), false));
  ASSERT_TRUE(writer.WriteFile(32, 32, 1, picture.data(), 0));
  writer.Close();
  unsigned char* read = JPEGTurbo::ReadJPEG(Path("g.jpg").c_str(), nullptr, nullptr);
  ASSERT_NE(read, nullptr);
  const Bytes topDown(read, read + picture.size());
  std::free(read);
  EXPECT_LE(MaxBandDifference(topDown, FlipRows(picture, 32), 32, 32, 1), kJpegTolerance);
}

TEST_F(JPEGTurboTest, FilesThatDoNotOpenAreReportedWithTheFixedMessages) {
  const std::string missing = Path("missing.jpg");
  const std::string unwritable = Path("no/such/dir.jpg");
  unsigned char pixel[3] = {};

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(unwritable.c_str(), 80, 1, 1, pixel));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "can't open " + unwritable + "\n");

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(missing.c_str(), nullptr, nullptr), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error opening jpeg file " + missing + "\n!");

  int width = 7, height = 7, components = 7;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(missing.c_str(), &width, &height, &components));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error opening jpeg file " + missing + "\n!");
  EXPECT_EQ(width + height + components, 21);
}

TEST_F(JPEGTurboTest, DamagedFilesAnswerFailureInProcess) {
  const Bytes picture = testing_support::Pattern(64 * 64 * 3);
  ASSERT_TRUE(JPEGTurbo::WriteJPEG(Path("t.jpg").c_str(), 80, 64, 64,
                                   const_cast<unsigned char*>(picture.data())));
  const Bytes good = ReadAll(Path("t.jpg"));

  WriteAll(Path("cut.jpg"), Bytes(good.begin(), good.begin() + good.size() / 2));
  WriteAll(Path("not.jpg"), Bytes(300, 0x42));
  int width = 7, height = 7, components = 7;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), nullptr, nullptr), nullptr);
  Bytes out(64 * 64 * 3);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("cut.jpg").c_str(), out.data(), nullptr), nullptr);
  EXPECT_EQ(JPEGTurbo::ReadJPEG(Path("not.jpg").c_str(), nullptr, nullptr), nullptr);
  EXPECT_FALSE(JPEGTurbo::GetJPEGInfo(Path("not.jpg").c_str(), &width, &height, &components));
  const std::string messages = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(messages.find("Premature end"), std::string::npos) << messages;
  EXPECT_EQ(width + height + components, 21);
}

TEST_F(JPEGTurboTest, WriteRefusesSizesTheCodecCannotTake) {
  unsigned char pixel[3] = {};
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 0, 1, pixel));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 1, -1, pixel));
  EXPECT_FALSE(JPEGTurbo::WriteJPEG(Path("z.jpg").c_str(), 80, 65501, 1, pixel));
  EXPECT_FALSE(std::filesystem::exists(Path("z.jpg")));
}

TEST_F(JPEGTurboTest, WriteThatCannotBeStoredAnswersFalse) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  Bytes picture = TwoBands(64, 64, 3);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(JPEGTurbo::WriteJPEG("/dev/full", 80, 64, 64, picture.data()));
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
}

TEST(FlipJPEGTest, ReversesTheRowOrder) {
  unsigned char scratch[12];
  unsigned char one[] = {1, 2, 3, 4};
  JPEGTurbo::FlipJPEG(one, 2, 1, 2, scratch);
  EXPECT_EQ(Bytes(one, one + 4), (Bytes{1, 2, 3, 4}));

  unsigned char two[] = {1, 2, 3, 4, 5, 6};
  JPEGTurbo::FlipJPEG(two, 1, 2, 3, scratch);
  EXPECT_EQ(Bytes(two, two + 6), (Bytes{4, 5, 6, 1, 2, 3}));

  unsigned char three[] = {1, 2, 3, 4, 5, 6};
  JPEGTurbo::FlipJPEG(three, 2, 3, 1, scratch);
  EXPECT_EQ(Bytes(three, three + 6), (Bytes{5, 6, 3, 4, 1, 2}));

  JPEGTurbo::FlipJPEG(three, 2, 0, 1, scratch);
  JPEGTurbo::FlipJPEG(three, 2, -3, 1, scratch);
  EXPECT_EQ(Bytes(three, three + 6), (Bytes{5, 6, 3, 4, 1, 2}));
}

}  // namespace
}  // namespace KVO
