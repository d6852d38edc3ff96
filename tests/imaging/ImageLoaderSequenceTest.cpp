#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "imaging/ImageLoader.h"
#include "tests/support/AddressSpaceLimit.h"
#include "tests/support/TestSupport.h"

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using KVO::ImageLoader;
using testsupport::Bytes;
using Frames = std::vector<unsigned int>;
using Log = std::vector<std::string>;  // "P5" for the packet of frame 5, "I5" for its image

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

void WriteImage(const std::string& folder, unsigned int frame) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08u", frame);
  testsupport::WriteBmp(folder + digits + ".bmp", kWidth, kHeight, 3,
                        testsupport::MakePicture(kWidth, kHeight, 3, static_cast<int>(frame)));
}

Frames Range(unsigned int count) {
  Frames frames(count);
  std::iota(frames.begin(), frames.end(), 0u);
  return frames;
}

// Packet contents differ in length by frame; frames 0, 3, 6... are empty.
std::string PacketContent(unsigned int frame) { return std::string(frame % 3, 'm'); }

class SequenceTest : public ::testing::Test {
 protected:
  void WriteImages(const Frames& frames) {
    for (unsigned int frame : frames) WriteImage(imageFolder, frame);
  }
  void WritePackets(const Frames& frames) {
    for (unsigned int frame : frames) {
      const std::string content = PacketContent(frame);
      testsupport::WriteWholeFile(metadataPrefix + std::to_string(frame) + ".txt",
                                  Bytes(content.begin(), content.end()));
    }
  }
  void Start(unsigned int start, unsigned int end, unsigned int gap, unsigned int step,
             DesiredChannelsEnum desired = DesiredChannelsEnum::AsFile) {
    loader.LoadSequence(imageFolder.c_str(), ".bmp", desired, start, end, gap, step,
                        metadataPrefix.c_str(), ".txt", ImageFileFormat::Auto);
  }
  bool WaitForQueueLength(unsigned int length) {
    return Eventually([&] { return loader.GetLoadingQueueLength() == length; });
  }

  // Takes the queue's front unit when there is one, checks its content
  // against the frame's own file and appends it to `log`.
  bool TakeOne(Log& log) {
    unsigned int width = 0, height = 0, channels = 0, frame = 0, size = 0;
    Bytes buffer(kWidth * kHeight * 4 + 256);
    const unsigned int type = loader.GetNextMediaType();
    if (type == ImageLoader::Image &&
        loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame)) {
      EXPECT_EQ(testsupport::MakePicture(kWidth, kHeight, 3, static_cast<int>(frame))[0],
                buffer[0]);
      log.push_back("I" + std::to_string(frame));
      return true;
    }
    if (type == ImageLoader::MetadataPacket &&
        loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame)) {
      EXPECT_EQ(PacketContent(frame), std::string(buffer.begin(), buffer.begin() + size));
      log.push_back("P" + std::to_string(frame));
      return true;
    }
    return false;
  }

  // Consumes until the sequence has ended and the queue is empty.
  Log Drain() {
    Log log;
    EXPECT_TRUE(Eventually([&] {
      while (TakeOne(log)) {
      }
      return loader.GetNextMediaType() == ImageLoader::None &&
             loader.GetStatus() == ImageLoader::Idle && loader.GetLoadingQueueLength() == 0;
    }));
    return log;
  }

  testsupport::TempDir dir;
  std::string imageFolder = dir.Root() + "img_";
  std::string metadataPrefix = dir.Root() + "meta_";
  ImageLoader loader;
};

struct SequenceCase {
  Frames images, packets;
  unsigned int start, end, gap, step;
  Log expected;
};

TEST_F(SequenceTest, RangesGapsStepsAndPackets) {
  constexpr unsigned int kTop = UINT_MAX;
  const std::vector<SequenceCase> cases = {
      {{10, 11, 14}, {}, 10, 20, 3, 1, {"I10", "I11", "I14"}},  // gaps within the maximum
      {{10, 11, 14}, {}, 10, 20, 2, 1, {"I10", "I11"}},         // and beyond it
      {{0, 1, 2, 3, 4, 5}, {}, 0, 3, 1, 1, {"I0", "I1", "I2", "I3"}},
      {{0, 1, 2, 3, 4, 5}, {}, 1, 5, 2, 2, {"I1", "I3", "I5"}},  // start below the step
      {{0, 2}, {}, 0, 10, 1, 2, {}},                             // gap below the step
      {{0}, {0}, 0, 10, 5, 0, {}},                               // step 0 ends at once
      {{7}, {7}, 7, 7, 1, 1, {"P7", "I7"}},                      // the end is inclusive
      {{0, 1, 2}, {0, 1, 2}, 0, 2, 1, 1, {"P0", "I0", "P1", "I1", "P2", "I2"}},
      // A missing image after a packet is looked for onward; packet 6 is not read.
      {{6}, {5, 6}, 5, 9, 2, 1, {"P5", "I6"}},
      // After a packet the image search begins at the packet's frame.
      {{0, 3, 6}, {0, 3, 6}, 0, 6, 3, 3, {"P0", "I0", "P3", "I3", "P6", "I6"}},
      {{123456789}, {}, 123456789, 123456789, 1, 1, {"I123456789"}},
      {{}, {}, UINT_MAX - 20, UINT_MAX, UINT_MAX, 1, {}},  // search past the top ends
      // A step past the top frame ends the range instead of wrapping round
      // to frames below its start, also after a packet and with no gap limit.
      {{kTop - 5, 4}, {}, kTop - 5, kTop, 10, 10, {"I4294967290"}},
      {{kTop, 0, 1}, {}, kTop, kTop, 1, 1, {"I4294967295"}},
      {{kTop, 0}, {kTop, 0}, kTop, kTop, kTop, 1, {"P4294967295", "I4294967295"}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const SequenceCase& c = cases[i];
    imageFolder = dir.Root() + std::to_string(i) + "img_";
    metadataPrefix = dir.Root() + std::to_string(i) + "meta_";
    WriteImages(c.images);
    WritePackets(c.packets);
    Start(c.start, c.end, c.gap, c.step);
    EXPECT_EQ(c.expected, Drain()) << "case " << i;
  }
}

TEST_F(SequenceTest, FramesPerFolderCyclesThroughTheFolders) {
  const std::string first = dir.Root() + "a_", second = dir.Root() + "b_";
  for (unsigned int frame = 0; frame < 6; ++frame) {
    WriteImage((frame / 2) % 2 == 0 ? first : second, frame);
  }
  loader.LoadSequence({first, second}, ".bmp", 2, DesiredChannelsEnum::AsFile, 0, 5, 1, 1,
                      metadataPrefix, ".txt", ImageFileFormat::Bmp);
  EXPECT_EQ((Log{"I0", "I1", "I2", "I3", "I4", "I5"}), Drain());
}

TEST_F(SequenceTest, RestartLoadsTheSequenceAgainButNeverARefusedOne) {
  EXPECT_FALSE(loader.RestartSequenceFromBeginning());
  WriteImages({3, 4, 5});
  // Any null string or an empty folder list closes the input and stays idle.
  const std::string folder = imageFolder, prefix = metadataPrefix;
  for (int null = 0; null < 4; ++null) {
    loader.LoadSequence(null == 0 ? nullptr : folder.c_str(), null == 1 ? nullptr : ".bmp",
                        DesiredChannelsEnum::AsFile, 3, 5, 1, 1,
                        null == 2 ? nullptr : prefix.c_str(), null == 3 ? nullptr : ".txt",
                        ImageFileFormat::Auto);
    EXPECT_EQ(ImageLoader::Idle, loader.GetStatus()) << null;
  }
  loader.DiscardNextInput();  // nothing queued: nothing happens
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  loader.LoadSequence(std::vector<std::string>{}, ".bmp", 1, DesiredChannelsEnum::AsFile, 3, 5, 1,
                      1, metadataPrefix, ".txt", ImageFileFormat::Auto);
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_FALSE(loader.RestartSequenceFromBeginning());
  Start(3, 5, 1, 1);
  EXPECT_EQ((Log{"I3", "I4", "I5"}), Drain());
  EXPECT_TRUE(loader.RestartSequenceFromBeginning());
  EXPECT_EQ((Log{"I3", "I4", "I5"}), Drain());
}

TEST_F(SequenceTest, TheQueueIsBoundedGrowsAndRefillsWhenAUnitIsTaken) {
  WriteImages(Range(20));
  // Shrunk while idle, the pool itself holds only three units.
  loader.SetLoadingQueueMaxLength(3);
  Start(0, 19, 1, 1);
  ASSERT_TRUE(WaitForQueueLength(3));
  EXPECT_EQ(2u, loader.GetLastLoadedFrameNumber());
  loader.CloseInput();
  loader.SetLoadingQueueMaxLength(12);
  Start(0, 19, 1, 1);
  ASSERT_TRUE(WaitForQueueLength(12));
  EXPECT_EQ(11u, loader.GetLastLoadedFrameNumber());
  Log log;
  ASSERT_TRUE(TakeOne(log));
  ASSERT_TRUE(Eventually([&] { return loader.GetLastLoadedFrameNumber() == 12; }));
  EXPECT_EQ(12u, loader.GetLoadingQueueLength());
  const Log rest = Drain();
  log.insert(log.end(), rest.begin(), rest.end());
  EXPECT_EQ(20u, log.size());
  EXPECT_EQ("I19", log.back());
}

TEST_F(SequenceTest, ShrinkingTheQueueLosesNoFrame) {
  Log expected;
  for (unsigned int frame = 0; frame < 20; ++frame) {
    WriteImages({frame});
    if (frame % 3 == 0) WritePackets({frame});
    if (frame % 3 == 0) expected.push_back("P" + std::to_string(frame));
    expected.push_back("I" + std::to_string(frame));
  }
  Start(0, 19, 1, 1);
  ASSERT_TRUE(WaitForQueueLength(10));
  // Queued: P0 I0 I1 I2 P3 I3 I4 I5 P6 I6. Down to five takes back image 3
  // while its packet stays queued: the image comes again, the packet not.
  loader.SetLoadingQueueMaxLength(5);
  EXPECT_LE(loader.GetLoadingQueueLength(), 5u);
  loader.SetLoadingQueueMaxLength(4);
  EXPECT_LE(loader.GetLoadingQueueLength(), 4u);
  // Down to nothing the front type clears; grown again the sequence resumes.
  loader.SetLoadingQueueMaxLength(0);
  EXPECT_EQ(0u, loader.GetLoadingQueueLength());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  loader.SetLoadingQueueMaxLength(4);
  EXPECT_EQ(expected, Drain());
}

TEST_F(SequenceTest, ShrinkingAfterTheRangeEndedStillDeliversEveryFrame) {
  WriteImages(Range(6));
  Start(0, 5, 1, 1);
  ASSERT_TRUE(WaitForQueueLength(6));
  // The range ends right after the last frame is queued; the outcome below
  // must hold whether or not it has ended by the shrink.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  loader.SetLoadingQueueMaxLength(2);
  EXPECT_EQ((Log{"I0", "I1", "I2", "I3", "I4", "I5"}), Drain());
}

TEST_F(SequenceTest, NothingOfAClosedSequenceIsQueuedAndEveryUnitComesBack) {
  WriteImages(Range(40));
  for (int round = 0; round < 50; ++round) {
    Start(0, 39, 1, 1);
    ASSERT_TRUE(round % 2 == 0 || Eventually([&] { return loader.GetLoadingQueueLength() > 0; }));
    loader.CloseInput();
    EXPECT_EQ(0u, loader.GetLoadingQueueLength());
    EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
    EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  }
  EXPECT_EQ(0u, loader.GetLoadingQueueLength());  // no late load of a closed sequence
  Start(0, 39, 1, 1);                             // all ten units are back in the pool
  ASSERT_TRUE(WaitForQueueLength(10));
}

TEST_F(SequenceTest, LoadSequenceDuringALoadSwitchesCleanly) {
  const std::string other = dir.Root() + "other_";
  for (unsigned int frame = 0; frame < 30; ++frame) {
    WriteImage(imageFolder, frame);
    WriteImage(other, frame);
  }
  for (int round = 0; round < 30; ++round) {
    Start(0, 29, 1, 1);
    loader.LoadSequence(other.c_str(), ".bmp", DesiredChannelsEnum::Three,
                        static_cast<unsigned int>(round % 5), 29, 1, 1, metadataPrefix.c_str(),
                        ".txt", ImageFileFormat::Bmp);
  }
  const Log log = Drain();
  ASSERT_EQ(26u, log.size());  // the last sequence began at frame 29 % 5 = 4
  EXPECT_EQ("I4", log.front());
  EXPECT_EQ("I29", log.back());
}

// A sequence started while the loader searches a long gap of the one before
// is loaded at once: the old search gives way rather than run on through
// the gap. Frame 0 of the first is a broken file, so that its closing shows
// the search under way (it goes on past it, to the end of the range).
TEST_F(SequenceTest, ASequenceStartedDuringASearchIsLoadedAtOnce) {
  const std::string broken = imageFolder + "00000000.bmp", other = dir.Root() + "other_";
  ASSERT_TRUE(testsupport::WriteWholeFile(broken, {'B', 'M'}));
  WriteImage(other, 7);
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_NE(-1, watch);
  ASSERT_NE(-1, inotify_add_watch(watch, broken.c_str(), IN_CLOSE_NOWRITE));
  Start(0, UINT_MAX, UINT_MAX, 1);
  pollfd closed{watch, POLLIN, 0};
  ASSERT_EQ(1, poll(&closed, 1, 20000)) << "the broken frame was never read";
  close(watch);
  loader.LoadSequence(other.c_str(), ".bmp", DesiredChannelsEnum::AsFile, 7, 7, 1, 1,
                      metadataPrefix.c_str(), ".txt", ImageFileFormat::Auto);
  EXPECT_EQ(Log{"I7"}, Drain());
}

TEST_F(SequenceTest, StatusAndNextMediaTypeFollowTheQueue) {
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
  {
    // Nothing queued: every query answers false and leaves its outputs alone.
    unsigned int size = 7, width = 7, height = 7, channels = 7, frame = 7;
    Bytes buffer(16);
    EXPECT_FALSE(loader.GetNextImageProperties(size, width, height, channels, frame));
    EXPECT_FALSE(loader.GetNextMetadataPacketProperties(size, frame));
    EXPECT_FALSE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
    EXPECT_EQ((std::tuple{7u, 7u, 7u, 7u, 7u}), std::tie(size, width, height, channels, frame));
  }
  WritePackets({0});
  WriteImages({0, 1});
  Start(0, 1, 1, 1, DesiredChannelsEnum::Four);  // delivered as the sequence asks
  ASSERT_TRUE(WaitForQueueLength(3));
  EXPECT_EQ(ImageLoader::Ready, loader.GetStatus());
  EXPECT_EQ(ImageLoader::MetadataPacket, loader.GetNextMediaType());
  // A packet at the front: no image can be taken, the one behind is visible.
  unsigned int size = 0, width = 0, height = 0, channels = 0, frame = 9;
  Bytes buffer(kWidth * kHeight * 4);
  EXPECT_FALSE(loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame));
  ASSERT_TRUE(loader.GetNextImageProperties(size, width, height, channels, frame));
  EXPECT_EQ((std::tuple{0u, 4u, unsigned(buffer.size())}), std::tie(frame, channels, size));
  loader.DiscardNextInput();
  EXPECT_EQ(ImageLoader::Image, loader.GetNextMediaType());
  EXPECT_FALSE(loader.GetNextMetadataPacketProperties(size, frame));
  EXPECT_FALSE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
  // Too small a buffer reports the properties and keeps the unit; a null
  // buffer is refused outright.
  frame = 99;
  EXPECT_FALSE(
      loader.GetNextImage(buffer.size() - 1, buffer.data(), width, height, channels, frame));
  EXPECT_EQ(0u, frame);
  EXPECT_FALSE(loader.GetNextImage(buffer.size(), nullptr, width, height, channels, frame));
  EXPECT_EQ(2u, loader.GetLoadingQueueLength());
  EXPECT_EQ((Log{"I0", "I1"}), Drain());
}

// The packet is far larger than any unit has held: its unit grows to take it
// whole, and a refusal keeps it at the front.
TEST_F(SequenceTest, AQueuedPacketAloneLeavesTheStatusIdle) {
  std::string content(100000, 'p');
  for (std::size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<char>(i & 0x7F);
  testsupport::WriteWholeFile(metadataPrefix + "2.txt", Bytes(content.begin(), content.end()));
  Start(2, 5, 1, 1);
  ASSERT_TRUE(Eventually([&] { return loader.GetStatus() == ImageLoader::Idle; }));
  EXPECT_EQ(ImageLoader::MetadataPacket, loader.GetNextMediaType());
  unsigned int size = 0, frame = 9;
  Bytes buffer(content.size() - 1);
  EXPECT_FALSE(loader.GetNextMetadataPacket(content.size(), size, nullptr, frame));
  EXPECT_FALSE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
  EXPECT_EQ(2u, frame);
  EXPECT_EQ(1u, loader.GetLoadingQueueLength());
  ASSERT_TRUE(loader.GetNextMetadataPacketProperties(size, frame));
  EXPECT_EQ(content.size(), size);
  buffer.resize(content.size());
  frame = 9;
  ASSERT_TRUE(loader.GetNextMetadataPacket(buffer.size(), size, buffer.data(), frame));
  EXPECT_EQ(2u, frame);
  EXPECT_EQ(content, std::string(buffer.begin(), buffer.end()));
  EXPECT_EQ(ImageLoader::Idle, loader.GetStatus());
  EXPECT_EQ(ImageLoader::None, loader.GetNextMediaType());
}

TEST_F(SequenceTest, AnUnreadableMetadataFileEndsTheSequence) {
  // Frame 1's metadata is a directory, then a (sparse) file longer than a
  // unit's 32-bit size can deliver: frame 0 comes, nothing after.
  for (bool directory : {true, false}) {
    imageFolder = dir.Root() + (directory ? "d_" : "s_");
    metadataPrefix = imageFolder + "meta_";
    WriteImages({0, 1, 2});
    const std::string name = metadataPrefix + "1.txt";
    if (directory) {
      boost::filesystem::create_directory(name);
    } else {
      testsupport::WriteWholeFile(name, {});
      ASSERT_EQ(0, truncate(name.c_str(), (off_t{1} << 32) + 1));
    }
    Start(0, 2, 1, 1);
    EXPECT_EQ(Log{"I0"}, Drain()) << directory;
  }
}

TEST(SequenceLifetime, LoaderDestroyedDuringAnEndlessSearchReturns) {
  testsupport::TempDir dir;
  const std::string folder = dir.Root() + "none_";
  for (int i = 0; i < 20; ++i) {
    ImageLoader loader;
    loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::AsFile, 0, UINT_MAX, UINT_MAX,
                        1, folder.c_str(), ".txt", ImageFileFormat::Auto);
    EXPECT_EQ(ImageLoader::Loading, loader.GetStatus());
  }
}

// Frame 0 declares 1.6e9 pixels and the address space is capped below that,
// so its allocation throws on the loading thread; frame 1 must still come.
void LoadPastAFrameThatThrows() {
  bool arrived = false;
  unsigned int frame = 99;
  {  // the child ends without destructors: the loader and folder go first
    testsupport::TempDir dir;
    const std::string folder = dir.Root() + "f_";
    WriteImage(folder, 1);
    const std::string huge = folder + "00000000.bmp";
    testsupport::WriteBmp(huge, 1, 1, 1, {0});
    for (int at : {18, 22}) testsupport::OverwriteLe(huge, at, 40000, 4);

    ImageLoader loader;
    if (!LimitAddressSpace(256 * 1024)) testsupport::ExitChild(3);
    loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::AsFile, 0, 1, 2, 1,
                        folder.c_str(), ".txt", ImageFileFormat::Bmp);
    Bytes buffer(kWidth * kHeight * 3);
    unsigned int width = 0, height = 0, channels = 0;
    arrived = Eventually([&] {
      return loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame);
    });
  }
  testsupport::ExitChild(arrived && frame == 1 ? 0 : 1);
}

TEST(SequenceFailures, AFrameThatThrowsIsSkipped) {
  if (kSanitized) GTEST_SKIP() << "sanitizer runtimes need the address space the test takes";
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LoadPastAFrameThatThrows(), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
