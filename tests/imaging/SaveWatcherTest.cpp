// What a program watching the save's folder with inotify learns: each save,
// of a new name or over an existing file, made without a name or under a
// hidden one, on tmpfs and on the temporary folder's file system, ends with
// one close-after-write event under the target's name, given only once the
// name leads to the whole picture (after the event that put it there).
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kSide = 33;
constexpr std::uint32_t kNamed = IN_CREATE | IN_MOVED_TO;

bool SavePicture(const std::string& path, unsigned seed) {
  const testsupport::Bytes pixels = testsupport::Pattern(kSide * kSide * 3, seed);
  return KVO::ImageSaver::Save(path.c_str(), kSide, kSide, 3, pixels.data(),
                               KVO::ImageFileFormat::Bmp, 0);
}

// The events under `name` queued on the inotify descriptor `fd` (which does
// not block): a save's closes queue theirs before it returns.
std::vector<std::uint32_t> EventsNamed(int fd, const std::string& name) {
  std::vector<std::uint32_t> masks;
  alignas(inotify_event) char events[4096];
  for (ssize_t got; (got = ::read(fd, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len > 0 && name == event->name) masks.push_back(event->mask);
    }
  }
  return masks;
}

// A fresh folder made from the mkdtemp `pattern`, removed with its contents.
struct Scratch {
  explicit Scratch(std::string pattern) {
    if (::mkdtemp(pattern.data()) != nullptr) root = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
  }
  std::string root;
};

// A folder watched for names made, moved in and closed after writing.
struct WatchedFolder {
  explicit WatchedFolder(const std::string& folder) {
    fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd != -1) ::inotify_add_watch(fd, folder.c_str(), kNamed | IN_CLOSE_WRITE);
  }
  ~WatchedFolder() { ::close(fd); }
  int fd;
};

using Case = std::tuple<bool /*tmpfs*/, bool /*unnamed*/, bool /*existing*/>;
class SaveWatcherTest : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { KVO::SetReplacingFileWriterUnnamedFiles(true); }
};

TEST_P(SaveWatcherTest, EverySaveEndsWithOneCloseAfterWriteUnderTheName) {
  const auto [tmpfs, unnamed, existing] = GetParam();
  std::error_code error;
  const Scratch dir(
      (tmpfs ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path(error)) /
      "tolvenix-watch-XXXXXX");
  if (dir.root.empty()) GTEST_SKIP() << "no scratch folder " << (tmpfs ? "on tmpfs" : "");
  const std::string path = dir.root + "/picture.bmp";
  ASSERT_TRUE(!existing || SavePicture(path, 0));
  KVO::SetReplacingFileWriterUnnamedFiles(unnamed);
  WatchedFolder watched(dir.root);
  ASSERT_NE(-1, watched.fd);
  for (unsigned save = 1; save <= 6; ++save) {
    if (!existing) ::unlink(path.c_str());
    ASSERT_TRUE(SavePicture(path, save));
    const std::vector<std::uint32_t> events = EventsNamed(watched.fd, "picture.bmp");
    ASSERT_FALSE(events.empty()) << "save " << save;
    EXPECT_EQ(IN_CLOSE_WRITE, events.back()) << "save " << save;
    EXPECT_EQ(1, std::count(events.begin(), events.end(), IN_CLOSE_WRITE)) << "save " << save;
    EXPECT_NE(0u, events.front() & kNamed) << "save " << save;
  }
  EXPECT_TRUE(testsupport::HiddenNames(dir.root).empty());
}

INSTANTIATE_TEST_SUITE_P(FileSystemsRoutesTargets, SaveWatcherTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(std::get<0>(info.param) ? "Tmpfs" : "TempFolder") +
                                  (std::get<1>(info.param) ? "Unnamed" : "HiddenName") +
                                  (std::get<2>(info.param) ? "Existing" : "NewName");
                         });

// A umask that takes the owner's write bit leaves a new file its saver may
// not open for writing (fopen's create needs no such right, and its close
// is heard all the same). Such a save still ends with the event, and the
// file keeps the mode the umask gave. Takes root, to save as another user.
TEST(SaveWatcherOwnerTest, ANewFileItsSaverMayNotWriteStillEndsWithTheEvent) {
  if (::geteuid() != 0) GTEST_SKIP() << "saving as another user takes root";
  constexpr uid_t kUser = 54325;
  testsupport::TempDir dir("tolvenix-watch", testsupport::TempDir::Reach::EveryUser);
  if (dir.Root().empty()) GTEST_SKIP() << "no folder every user can reach";
  const std::string folder = dir.Path("users"), path = folder + "/picture.bmp";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
  ASSERT_EQ(0, ::chown(folder.c_str(), kUser, kUser));
  WatchedFolder watched(folder);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kUser) != 0 || ::setuid(kUser) != 0) testsupport::ExitChild(2);
    ::umask(0277);
    testsupport::ExitChild(SavePicture(path, 1) ? 0 : 1);
  }
  ASSERT_EQ(0, testsupport::WaitForExit(child));
  const std::vector<std::uint32_t> events = EventsNamed(watched.fd, "picture.bmp");
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(IN_CLOSE_WRITE, events.back());
  struct stat status;
  ASSERT_EQ(0, ::stat(path.c_str(), &status));
  EXPECT_EQ(0400u, status.st_mode & 07777);
}

}  // namespace
