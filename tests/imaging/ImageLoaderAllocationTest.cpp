// Counts array allocations (pixel arrays, scratch and unit arrays are all
// `new unsigned char[]`) to show that steady loading reuses its memory. Its
// own binary: it replaces the global array operators.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "imaging/ImageLoader.h"
#include "tests/imaging/ImageTestFiles.h"

namespace {
std::atomic<long> arrayAllocations{0};
}  // namespace

void* operator new[](std::size_t bytes) {
  ++arrayAllocations;
  if (void* p = std::malloc(bytes ? bytes : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using KVO::DesiredChannelsEnum;
using KVO::ImageFileFormat;
using KVO::ImageLoader;

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr unsigned int kFrames = 100;

class AllocationTest : public ::testing::Test {
 protected:
  std::string Frame(unsigned int frame) const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", frame);
    return folder + digits + ".bmp";
  }

  testfiles::TempDir dir;
  const std::string folder = dir.Root() + "f_";
};

TEST_F(AllocationTest, SteadySequenceAllocatesNothingAfterTheFirstRound) {
  for (unsigned int frame = 0; frame < kFrames; ++frame) {
    // Top-down files delivered with four channels: the thread's scratch
    // buffer and the conversion are on the path too.
    testfiles::WriteBmp(Frame(frame), kWidth, kHeight, 3,
                        testfiles::MakePicture(kWidth, kHeight, 3, frame), true);
  }
  ImageLoader loader;
  const unsigned int units = loader.GetLoadingQueueMaxLength();
  loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::Four, 0, kFrames - 1, 1, 1,
                      (folder + "none_").c_str(), ".txt", ImageFileFormat::Bmp);
  std::vector<unsigned char> buffer(kWidth * kHeight * 4);
  std::vector<unsigned int> frames;
  frames.reserve(kFrames);
  long afterFirstRound = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (frames.size() < kFrames && std::chrono::steady_clock::now() < deadline) {
    unsigned int width, height, channels, frame;
    if (!loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame)) {
      std::this_thread::yield();
      continue;
    }
    frames.push_back(frame);
    // Every unit and the thread's work unit have been filled once, and the
    // queue is full again behind them.
    if (frames.size() == 2 * units + 1) afterFirstRound = arrayAllocations;
  }
  ASSERT_EQ(kFrames, frames.size());
  EXPECT_EQ(kFrames - 1, frames.back());
  EXPECT_EQ(afterFirstRound, arrayAllocations.load());
}

TEST_F(AllocationTest, PlainLoadIntoACallerBufferAllocatesNoArray) {
  const std::string path = dir.Path("plain.bmp");
  testfiles::WriteBmp(path, kWidth, kHeight, 3, testfiles::MakePicture(kWidth, kHeight, 3));
  ImageLoader loader;
  std::vector<unsigned char> buffer(kWidth * kHeight * 3);
  unsigned int width, height, channels;
  const long before = arrayAllocations;
  ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, buffer.size(),
                                        buffer.data(), DesiredChannelsEnum::AsFile,
                                        ImageFileFormat::Auto));
  EXPECT_EQ(before, arrayAllocations.load());
  // A conversion needs the scratch buffer once, then reuses it.
  std::vector<unsigned char> four(kWidth * kHeight * 4);
  ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, four.size(),
                                        four.data(), DesiredChannelsEnum::Four,
                                        ImageFileFormat::Auto));
  const long afterFirst = arrayAllocations;
  EXPECT_EQ(before + 1, afterFirst);
  ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, four.size(),
                                        four.data(), DesiredChannelsEnum::Four,
                                        ImageFileFormat::Auto));
  EXPECT_EQ(afterFirst, arrayAllocations.load());
}

}  // namespace
