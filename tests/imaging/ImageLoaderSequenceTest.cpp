#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "imaging/ImageLoader.h"
#include "tests/imaging/ImageTestFiles.h"
#include "tests/runtime/AddressSpaceLimit.h"

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using KVO::ImageLoader;
using testfiles::Bytes;

constexpr int kWidth = 6;
constexpr int kHeight = 4;

// Polls with a generous deadline; only a hang fails.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// "P5" for the packet of frame 5, "I5" for its image.
using Log = std::vector<std::string>;

class SequenceTest : public ::testing::Test {
 protected:
  std::string ImageName(const std::string& folder, unsigned int frame) const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", frame);
    return folder + digits + ".bmp";
  }

  void WriteImage(unsigned int frame, const std::string& folder = "") {
    const std::string base = folder.empty() ? imageFolder : folder;
    testfiles::WriteBmp(ImageName(base, frame), kWidth, kHeight, 3,
                        testfiles::MakePicture(kWidth, kHeight, 3, static_cast<int>(frame)));
  }

  void WritePacket(unsigned int frame, const std::string& content) {
    testfiles::WriteWholeFile(metadataPrefix + std::to_string(frame) + ".txt",
                              Bytes(content.begin(), content.end()));
  }

  void Start(unsigned int start, unsigned int end, unsigned int gap, unsigned int step,
             DesiredChannelsEnum desired = DesiredChannelsEnum::AsFile) {
    loader.LoadSequence(imageFolder.c_str(), ".bmp", desired, start, end, gap, step,
                        metadataPrefix.c_str(), ".txt", ImageFileFormat::Auto);
  }

  bool Ended() {
    return loader.GetNextMediaType() == ImageLoader::None &&
           loader.GetStatus() == ImageLoader::Idle && loader.GetLoadingQueueLength() == 0;
  }

  // Takes one unit off the queue when there is one; appends it to `log`.
  bool TakeOne(Log& log) {
    unsigned int width = 0, height = 0, channels = 0, frame = 0, size = 0;
    Bytes buffer(kWidth * kHeight * 4 + 256);
    switch (loader.GetNextMediaType()) {
      case ImageLoader::Image:
        if (!loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame)) {
          return false;
        }
        // The pixels are those of the frame's own file.
        EXPECT_EQ(testfiles::MakePicture(kWidth, kHeight, 3, static_cast<int>(frame))[0],
                  buffer[0]);
        log.push_back("I" + std::to_string(frame));
        return true;
      case ImageLoader::MetadataPacket:
        if (!loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame)) {
          return false;
        }
        packets.emplace_back(buffer.begin(), buffer.begin() + size);
        log.push_back("P" + std::to_string(frame));
        return true;
      default:
        return false;
    }
  }

  // Consumes until the sequence has ended and the queue is empty.
  Log Drain() {
    Log log;
    EXPECT_TRUE(Eventually([&] {
      while (TakeOne(log)) {
      }
      return Ended();
    }));
    return log;
  }

  testfiles::TempDir dir;
  const std::string imageFolder = dir.Root() + "img_";
  const std::string metadataPrefix = dir.Root() + "meta_";
  std::vector<std::string> packets;
  ImageLoader loader;
};

TEST_F(SequenceTest, MissingFramesAreSkippedWithinTheMaximumGap) {
  for (unsigned int frame : {10u, 11u, 14u}) WriteImage(frame);
  Start(10, 20, 3, 1);
  EXPECT_EQ((Log{"I10", "I11", "I14"}), Drain());
  Start(10, 20, 2, 1);
  EXPECT_EQ((Log{"I10", "I11"}), Drain());
}

TEST_F(SequenceTest, StartBelowTheStepStillBeginsAtTheStart) {
  for (unsigned int frame = 0; frame < 6; ++frame) WriteImage(frame);
  Start(0, 3, 1, 1);
  EXPECT_EQ((Log{"I0", "I1", "I2", "I3"}), Drain());
  Start(1, 5, 2, 2);
  EXPECT_EQ((Log{"I1", "I3", "I5"}), Drain());
}

TEST_F(SequenceTest, GapBelowTheStepLoadsNothing) {
  WriteImage(0);
  WriteImage(2);
  Start(0, 10, 1, 2);
  EXPECT_EQ(Log{}, Drain());
}

TEST_F(SequenceTest, StepOfZeroEndsAtOnce) {
  WriteImage(0);
  Start(0, 10, 5, 0);
  EXPECT_EQ(Log{}, Drain());
}

TEST_F(SequenceTest, EndFrameIsInclusive) {
  WriteImage(7);
  WritePacket(7, "seven");
  Start(7, 7, 1, 1);
  EXPECT_EQ((Log{"P7", "I7"}), Drain());
  EXPECT_EQ((std::vector<std::string>{"seven"}), packets);
}

TEST_F(SequenceTest, PacketsComeBeforeTheirImages) {
  for (unsigned int frame = 0; frame < 3; ++frame) WriteImage(frame);
  WritePacket(0, "zero");
  WritePacket(1, "");
  WritePacket(2, "two");
  Start(0, 2, 1, 1);
  EXPECT_EQ((Log{"P0", "I0", "P1", "I1", "P2", "I2"}), Drain());
  EXPECT_EQ((std::vector<std::string>{"zero", "", "two"}), packets);
}

TEST_F(SequenceTest, AMissingImageAfterAPacketIsLookedForOnward) {
  WritePacket(5, "five");
  WriteImage(6);
  WritePacket(6, "six");
  Start(5, 9, 2, 1);
  // The image of 6 is the one that follows packet 5; packet 6 is not read.
  EXPECT_EQ((Log{"P5", "I6"}), Drain());
}

TEST_F(SequenceTest, ImageSearchAfterAPacketStartsAtItsFrameForLargeSteps) {
  for (unsigned int frame : {0u, 3u, 6u}) {
    WriteImage(frame);
    WritePacket(frame, "m");
  }
  Start(0, 6, 3, 3);
  EXPECT_EQ((Log{"P0", "I0", "P3", "I3", "P6", "I6"}), Drain());
}

TEST_F(SequenceTest, NineDigitFrameNumbersAreWrittenWhole) {
  WriteImage(123456789);
  ASSERT_TRUE(testfiles::Exists(imageFolder + "123456789.bmp"));
  Start(123456789, 123456789, 1, 1);
  EXPECT_EQ(Log{"I123456789"}, Drain());
}

TEST_F(SequenceTest, FramesPerFolderCyclesThroughTheFolders) {
  const std::string first = dir.Root() + "a_";
  const std::string second = dir.Root() + "b_";
  for (unsigned int frame = 0; frame < 6; ++frame) {
    WriteImage(frame, (frame / 2) % 2 == 0 ? first : second);
  }
  loader.LoadSequence({first, second}, ".bmp", 2, DesiredChannelsEnum::AsFile, 0, 5, 1, 1,
                      metadataPrefix, ".txt", ImageFileFormat::Bmp);
  EXPECT_EQ((Log{"I0", "I1", "I2", "I3", "I4", "I5"}), Drain());
}

TEST_F(SequenceTest, DeliveredChannelsFollowTheSequenceRequest) {
  WriteImage(0);
  Start(0, 0, 1, 1, DesiredChannelsEnum::Four);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 1; }));
  unsigned int size = 0, width = 0, height = 0, channels = 0, frame = 9;
  ASSERT_TRUE(loader.GetNextImageProperties(size, width, height, channels, frame));
  EXPECT_EQ(4u, channels);
  EXPECT_EQ(static_cast<unsigned>(kWidth * kHeight * 4), size);
  EXPECT_EQ(0u, frame);
}

TEST_F(SequenceTest, NullStringsAndEmptyFolderListsStayIdle) {
  WriteImage(0);
  loader.LoadSequence(nullptr, ".bmp", DesiredChannelsEnum::AsFile, 0, 0, 1, 1,
                      metadataPrefix.c_str(), ".txt", ImageFileFormat::Auto);
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  loader.LoadSequence(std::vector<std::string>{}, ".bmp", 1, DesiredChannelsEnum::AsFile, 0, 0, 1,
                      1, metadataPrefix, ".txt", ImageFileFormat::Auto);
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_FALSE(loader.RestartSequenceFromBeginning());
}

TEST_F(SequenceTest, RestartLoadsTheSequenceAgain) {
  EXPECT_FALSE(loader.RestartSequenceFromBeginning());
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  for (unsigned int frame = 3; frame < 6; ++frame) WriteImage(frame);
  Start(3, 5, 1, 1);
  EXPECT_EQ((Log{"I3", "I4", "I5"}), Drain());
  EXPECT_TRUE(loader.RestartSequenceFromBeginning());
  EXPECT_EQ((Log{"I3", "I4", "I5"}), Drain());
}

TEST_F(SequenceTest, TheQueueIsBoundedAndRefillsWhenAUnitIsTaken) {
  for (unsigned int frame = 0; frame < 15; ++frame) WriteImage(frame);
  Start(0, 14, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 10; }));
  EXPECT_EQ(9u, loader.GetLastLoadedFrameNumber());
  Log log;
  ASSERT_TRUE(TakeOne(log));
  ASSERT_TRUE(Eventually([&] { return loader.GetLastLoadedFrameNumber() == 10; }));
  EXPECT_EQ(10u, loader.GetLoadingQueueLength());
  const Log rest = Drain();
  log.insert(log.end(), rest.begin(), rest.end());
  EXPECT_EQ(15u, log.size());
  EXPECT_EQ("I14", log.back());
}

TEST_F(SequenceTest, GrowingTheQueueReadsFurtherAhead) {
  for (unsigned int frame = 0; frame < 20; ++frame) WriteImage(frame);
  loader.SetLoadingQueueMaxLength(15);
  EXPECT_EQ(15u, loader.GetLoadingQueueMaxLength());
  Start(0, 19, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 15; }));
  EXPECT_EQ(14u, loader.GetLastLoadedFrameNumber());
}

TEST_F(SequenceTest, ShrinkingTheQueueLosesNoFrame) {
  for (unsigned int frame = 0; frame < 20; ++frame) {
    WriteImage(frame);
    if (frame % 3 == 0) WritePacket(frame, "m");
  }
  Start(0, 19, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 10; }));
  loader.SetLoadingQueueMaxLength(4);
  EXPECT_LE(loader.GetLoadingQueueLength(), 4u);
  Log expected;
  for (unsigned int frame = 0; frame < 20; ++frame) {
    if (frame % 3 == 0) expected.push_back("P" + std::to_string(frame));
    expected.push_back("I" + std::to_string(frame));
  }
  EXPECT_EQ(expected, Drain());
}

TEST_F(SequenceTest, ShrinkingToAnEmptyQueueClearsTheFrontType) {
  for (unsigned int frame = 0; frame < 3; ++frame) WriteImage(frame);
  Start(0, 2, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 3; }));
  loader.SetLoadingQueueMaxLength(0);
  EXPECT_EQ(0u, loader.GetLoadingQueueLength());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  loader.SetLoadingQueueMaxLength(3);
  EXPECT_EQ((Log{"I0", "I1", "I2"}), Drain());
}

TEST_F(SequenceTest, CloseInputEmptiesTheQueueAndReturnsEveryUnit) {
  for (unsigned int frame = 0; frame < 12; ++frame) WriteImage(frame);
  Start(0, 11, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 10; }));
  loader.CloseInput();
  EXPECT_EQ(0u, loader.GetLoadingQueueLength());
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  // All ten units are back in the pool: a new sequence fills ten again.
  Start(0, 11, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 10; }));
}

TEST_F(SequenceTest, NothingOfAClosedSequenceIsQueuedAfterClose) {
  for (unsigned int frame = 0; frame < 40; ++frame) WriteImage(frame);
  for (int round = 0; round < 50; ++round) {
    Start(0, 39, 1, 1);
    if (round % 2) {
      ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() > 0; }));
    }
    loader.CloseInput();
    EXPECT_EQ(0u, loader.GetLoadingQueueLength());
    EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  }
  // The closed sequence's late loads never show up.
  EXPECT_EQ(0u, loader.GetLoadingQueueLength());
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
}

TEST_F(SequenceTest, LoadSequenceDuringALoadSwitchesCleanly) {
  const std::string other = dir.Root() + "other_";
  for (unsigned int frame = 0; frame < 30; ++frame) {
    WriteImage(frame);
    WriteImage(frame, other);
  }
  for (int round = 0; round < 30; ++round) {
    Start(0, 29, 1, 1);
    loader.LoadSequence(other.c_str(), ".bmp", DesiredChannelsEnum::Three,
                        static_cast<unsigned int>(round % 5), 29, 1, 1, metadataPrefix.c_str(),
                        ".txt", ImageFileFormat::Bmp);
  }
  const Log log = Drain();
  // The last sequence began at frame 29 % 5 = 4.
  ASSERT_EQ(26u, log.size());
  EXPECT_EQ("I4", log.front());
  EXPECT_EQ("I29", log.back());
}

TEST_F(SequenceTest, StatusAndNextMediaTypeFollowTheQueue) {
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  WritePacket(0, "zero");
  WriteImage(0);
  WriteImage(1);
  Start(0, 1, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetLoadingQueueLength() == 3; }));
  EXPECT_EQ(ImageLoader::Ready, loader.GetStatus());
  EXPECT_EQ(ImageLoader::MetadataPacket, loader.GetNextMediaType());

  // A packet at the front: no image can be taken, but the one behind it is
  // visible.
  unsigned int size = 0, width = 0, height = 0, channels = 0, frame = 0;
  Bytes buffer(kWidth * kHeight * 3);
  EXPECT_FALSE(loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame));
  ASSERT_TRUE(loader.GetNextImageProperties(size, width, height, channels, frame));
  EXPECT_EQ(0u, frame);
  EXPECT_EQ(buffer.size(), size);

  loader.DiscardNextInput();
  EXPECT_EQ(ImageLoader::Image, loader.GetNextMediaType());
  EXPECT_FALSE(loader.GetNextMetadataPacketProperties(size, frame));

  // Too small a buffer: the properties are reported, the unit stays.
  frame = 99;
  EXPECT_FALSE(
      loader.GetNextImage(buffer.size() - 1, buffer.data(), width, height, channels, frame));
  EXPECT_EQ(0u, frame);
  EXPECT_EQ(2u, loader.GetLoadingQueueLength());
  // A null buffer is refused outright.
  EXPECT_FALSE(loader.GetNextImage(buffer.size(), nullptr, width, height, channels, frame));
  ASSERT_TRUE(loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame));
  EXPECT_EQ(0u, frame);
  ASSERT_TRUE(loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame));
  EXPECT_EQ(1u, frame);
  // The range has ended and the queue is empty.
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  EXPECT_TRUE(Eventually([&] { return loader.GetStatus() == ImageLoader::Idle; }));
}

TEST_F(SequenceTest, AQueuedPacketAloneLeavesTheStatusLoadingThenIdle) {
  WritePacket(0, "lonely");
  Start(0, 5, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetStatus() == ImageLoader::Idle; }));
  EXPECT_EQ(ImageLoader::MetadataPacket, loader.GetNextMediaType());
  unsigned int size = 0, frame = 9;
  Bytes buffer(3);
  EXPECT_FALSE(loader.GetNextMetadataPacket(buffer.size(), size, nullptr, frame));
  EXPECT_FALSE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
  EXPECT_EQ(0u, frame);
  buffer.resize(6);
  ASSERT_TRUE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
  EXPECT_EQ(6u, size);
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
}

TEST_F(SequenceTest, AnUnreadableMetadataFileEndsTheSequence) {
  WriteImage(0);
  WriteImage(1);
  // A directory opens for reading but yields no length.
  boost::filesystem::create_directory(metadataPrefix + "1.txt");
  Start(0, 1, 1, 1);
  EXPECT_EQ(Log{"I0"}, Drain());
}

TEST_F(SequenceTest, SearchPastTheTopOfTheFrameRangeEnds) {
  Start(UINT_MAX - 20, UINT_MAX, UINT_MAX, 1);
  EXPECT_EQ(Log{}, Drain());
}

TEST(SequenceLifetime, LoaderDestroyedDuringAnEndlessSearchReturns) {
  testfiles::TempDir dir;
  const std::string folder = dir.Root() + "none_";
  for (int i = 0; i < 20; ++i) {
    ImageLoader loader;
    loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::AsFile, 0, UINT_MAX, UINT_MAX,
                        1, folder.c_str(), ".txt", ImageFileFormat::Auto);
    EXPECT_EQ(ImageLoader::Loading, loader.GetStatus());
  }
}

#if defined(TOLVENIX_TEST_SANITIZED)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Frame 0 declares 1.6e9 pixels and the address space is capped below that,
// so its allocation throws on the loading thread; frame 1 must still come.
void LoadPastAFrameThatThrows() {
  testfiles::TempDir dir;
  const std::string folder = dir.Root() + "f_";
  testfiles::WriteBmp(folder + "00000001.bmp", kWidth, kHeight, 3,
                      testfiles::MakePicture(kWidth, kHeight, 3, 1));
  testfiles::WriteBmp(folder + "00000000.bmp", 1, 1, 1, {0});
  Bytes huge = testfiles::ReadWholeFile(folder + "00000000.bmp");
  const std::uint32_t side = 40000;
  std::memcpy(&huge[18], &side, 4);
  std::memcpy(&huge[22], &side, 4);
  testfiles::WriteWholeFile(folder + "00000000.bmp", huge);

  ImageLoader loader;
  if (!LimitAddressSpace(256 * 1024)) std::_Exit(3);
  loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::AsFile, 0, 1, 2, 1,
                      folder.c_str(), ".txt", ImageFileFormat::Bmp);
  Bytes buffer(kWidth * kHeight * 3);
  unsigned int width = 0, height = 0, channels = 0, frame = 99;
  const bool arrived = Eventually([&] {
    return loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame);
  });
  std::_Exit(arrived && frame == 1 ? 0 : 1);
}

TEST(SequenceFailures, AFrameThatThrowsIsSkipped) {
  if (kSanitized) {
    GTEST_SKIP() << "sanitizer runtimes need the address space the test takes";
  }
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadPastAFrameThatThrows(), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
