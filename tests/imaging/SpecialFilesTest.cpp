// Names that are not regular files never block a call: every entry point
// that opens a caller's path answers promptly, and the simulator keeps
// answering meanwhile.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "TolvenixUtilities.h"
#include "imaging/ImageLoader.h"
#include "tests/support/TestSupport.h"

namespace {

enum class Kind { FifoWithoutWriter, StalledFifo, Directory, DevZero };
enum class Call { HeaderOnly, Load, Save, MetadataLogging, Sequence };

class SpecialFilesTest : public ::testing::TestWithParam<std::tuple<Kind, Call>> {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // a released writer must not end the test
    const std::string path = dir.Path("00000000.bmp");
    switch (std::get<0>(GetParam())) {
      case Kind::FifoWithoutWriter:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        break;
      case Kind::StalledFifo: {
        // A writer that sent a valid 4 x 4 BMP header and then nothing; no
        // reader stays. Read as if it were a file, it would block on the rows.
        ASSERT_TRUE(testsupport::WriteBmp(dir.Path("whole.bmp"), 4, 4, 3, testsupport::Bytes(48)));
        const testsupport::Bytes header = testsupport::ReadWholeFile(dir.Path("whole.bmp"));
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(54, write(writer, header.data(), 54));
        close(reader);
        break;
      }
      case Kind::Directory:
        ASSERT_EQ(0, mkdir(path.c_str(), 0700));
        break;
      case Kind::DevZero:
        ASSERT_EQ(0, symlink("/dev/zero", path.c_str()));
        break;
    }
  }
  void TearDown() override { close(writer); }

  // Runs the calls at once, each on its own thread, and expects each back
  // within a generous bound. A call still blocked on the FIFO by then is
  // released by a short-lived peer at both ends, so every thread is joined.
  void ExpectPrompt(const std::function<void()>& call) {
    std::packaged_task<void()> task(call), query([] { SIMGetAPIStatus(); });
    auto done = task.get_future(), answered = query.get_future();
    std::thread caller(std::move(task)), querier(std::move(query));
    for (auto* future : {&done, &answered}) {
      if (future->wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked";
        if (writer >= 0) close(writer);
        writer = -1;
        close(open(dir.Path("00000000.bmp").c_str(), O_RDWR | O_NONBLOCK));
      }
    }
    caller.join();
    querier.join();
  }

  testsupport::TempDir dir;
  int writer = -1;
};

TEST_P(SpecialFilesTest, AnswersPromptly) {
  const auto [kind, call] = GetParam();
  std::string path = dir.Path("00000000.bmp");
  unsigned char pixels[4 * 4 * 3] = {};
  unsigned int size[3] = {7, 7, 7};
  switch (call) {
    case Call::HeaderOnly:
      ExpectPrompt([&] {
        EXPECT_TRUE(
            UTIL_LoadImageToBuffer(path.c_str(), &size[0], &size[1], &size[2], 0, nullptr, 0, 0));
      });
      EXPECT_EQ(0u, size[0] + size[1] + size[2]);
      break;
    case Call::Load:
      ExpectPrompt([&] {
        EXPECT_FALSE(UTIL_LoadImageToBuffer(path.c_str(), &size[0], &size[1], &size[2],
                                            sizeof pixels, pixels, 0, 0));
      });
      break;
    case Call::Save:
      // A device is written as asked; nothing else here takes a picture.
      ExpectPrompt([&] {
        EXPECT_EQ(kind == Kind::DevZero,
                  UTIL_SaveImageFromBuffer(path.c_str(), 4, 4, 3, pixels, 1, 0));
      });
      break;
    case Call::MetadataLogging:
      ExpectPrompt([&] { SIMSetMetadataLogging(true, &path[0], false); });
      break;
    case Call::Sequence: {
      // Frame 0's image and frame 1's metadata are the special name; the
      // first is skipped, the second ends the sequence, so frame 2's image,
      // within the gap and the range, is never queued.
      ASSERT_EQ(0, rename(path.c_str(), dir.Path("1.txt").c_str()));
      ASSERT_EQ(0, symlink(dir.Path("1.txt").c_str(), path.c_str()));
      ASSERT_TRUE(testsupport::WriteBmp(dir.Path("00000002.bmp"), 4, 4, 3, testsupport::Bytes(48)));
      ExpectPrompt([&] {
        KVO::ImageLoader loader;
        loader.LoadSequence(dir.Root().c_str(), ".bmp", KVO::DesiredChannelsEnum::AsFile, 0, 2, 3,
                            1, dir.Root().c_str(), ".txt", KVO::ImageFileFormat::Auto);
        while (loader.GetStatus() == KVO::ImageLoader::Loading) std::this_thread::yield();
        EXPECT_EQ(KVO::ImageLoader::Idle, loader.GetStatus());
        EXPECT_EQ(0u, loader.GetLoadingQueueLength());
      });
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpecialFilesTest,
    ::testing::Combine(::testing::Values(Kind::FifoWithoutWriter, Kind::StalledFifo,
                                         Kind::Directory, Kind::DevZero),
                       ::testing::Values(Call::HeaderOnly, Call::Load, Call::Save,
                                         Call::MetadataLogging, Call::Sequence)));

}  // namespace
