// Counts array allocations (pixel arrays, scratch and unit arrays are all
// `new unsigned char[]`) to show that steady loading reuses its memory. Its
// own binary: it replaces the global array operators.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageLoader.h"
#include "tests/support/TestSupport.h"

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
  testsupport::TempDir dir;
  const std::string folder = dir.Root() + "f_";
  std::vector<unsigned char> buffer = std::vector<unsigned char>(kWidth * kHeight * 4);
  unsigned int width = 0, height = 0, channels = 0, frame = 0;
};

TEST_F(AllocationTest, SteadySequenceAllocatesNothingAfterTheFirstRound) {
  for (unsigned int frame = 0; frame < kFrames; ++frame) {
    char name[16];
    std::snprintf(name, sizeof name, "%08u.bmp", frame);
    // Top-down files delivered with four channels: the thread's scratch
    // buffer and the conversion are on the path too.
    testsupport::WriteBmp(folder + name, kWidth, kHeight, 3,
                          testsupport::MakePicture(kWidth, kHeight, 3, frame), true);
  }
  ImageLoader loader;
  const unsigned int units = loader.GetLoadingQueueMaxLength();
  loader.LoadSequence(folder.c_str(), ".bmp", DesiredChannelsEnum::Four, 0, kFrames - 1, 1, 1,
                      (folder + "none_").c_str(), ".txt", ImageFileFormat::Bmp);
  unsigned int taken = 0;
  long afterFirstRound = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (taken < kFrames && std::chrono::steady_clock::now() < deadline) {
    if (!loader.GetNextImage(buffer.size(), buffer.data(), width, height, channels, frame)) {
      std::this_thread::yield();
      continue;
    }
    // Every unit and the thread's work unit have been filled once, and the
    // queue is full again behind them.
    if (++taken == 2 * units + 1) afterFirstRound = arrayAllocations;
  }
  ASSERT_EQ(kFrames, taken);
  EXPECT_EQ(kFrames - 1, frame);
  EXPECT_EQ(afterFirstRound, arrayAllocations.load());
}

TEST_F(AllocationTest, PlainLoadIntoACallerBufferAllocatesNoArray) {
  const std::string path = dir.Path("plain.bmp");
  testsupport::WriteBmp(path, kWidth, kHeight, 3, testsupport::MakePicture(kWidth, kHeight, 3));
  ImageLoader loader;
  // As the file: no array; a conversion needs the scratch buffer once, then reuses it.
  for (auto [desired, allocations] : {std::pair{DesiredChannelsEnum::AsFile, 0},
                                      {DesiredChannelsEnum::Four, 1},
                                      {DesiredChannelsEnum::Four, 0}}) {
    const long before = arrayAllocations;
    ASSERT_TRUE(loader.LoadSingleInBuffer(path.c_str(), width, height, channels, buffer.size(),
                                          buffer.data(), desired, ImageFileFormat::Auto));
    EXPECT_EQ(before + allocations, arrayAllocations.load());
  }
}

}  // namespace
