// What a program watching the save's folder with inotify learns: each save,
// of a new name or over an existing file, made without a name or under a
// hidden one, ends with a close-after-write event under the target's name,
// and a watcher that reads the file on that event reads the whole picture
// the save wrote. Run on tmpfs and on the file system of the temporary
// folder.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

constexpr int kSide = 33;  // rows need padding
constexpr int kSaves = 12;
constexpr auto kBound = std::chrono::seconds(30);  // only a missing event reaches it

enum class Place { Tmpfs, TempFolder };
enum class Route { Unnamed, HiddenName };
enum class Target { NewName, Existing };

// A scratch folder on tmpfs (/dev/shm), removed with its contents.
class ShmDir {
 public:
  ShmDir() {
    std::string pattern = "/dev/shm/tolvenix-watch-XXXXXX";
    if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(pattern.data()) != nullptr) root = pattern;
  }
  ~ShmDir() {
    for (const std::string& name : testsupport::FolderNames(root)) {
      ::unlink((root + "/" + name).c_str());
    }
    if (!root.empty()) ::rmdir(root.c_str());
  }
  std::string root;
};

bool SavePicture(const std::string& path, const Bytes& pixels) {
  return KVO::ImageSaver::Save(path.c_str(), kSide, kSide, 3, pixels.data(),
                               KVO::ImageFileFormat::Bmp, 0);
}

// Waits up to `timeoutMs` for events on the inotify descriptor `fd` and
// answers how many of those read name `name`.
int ReadEventsNamed(int fd, const std::string& name, int timeoutMs) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, timeoutMs) <= 0) return 0;
  alignas(inotify_event) char events[4096];
  const ssize_t got = ::read(fd, events, sizeof events);
  int named = 0;
  for (ssize_t at = 0; at < got;) {
    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    if (event->len > 0 && name == event->name) ++named;
  }
  return named;
}

// Watches one folder for close-after-write events under one name; at each,
// reads the file at once and notes which of `files` it held (the pictures
// of the saves in their order), or that it held none of them whole.
class Watcher {
 public:
  Watcher(const std::string& folder, std::string name, const std::vector<Bytes>& files)
      : name(std::move(name)), files(files) {
    fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd != -1 && ::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE) == -1) {
      ::close(fd);
      fd = -1;
    }
    path = folder + "/" + this->name;
    if (fd != -1) thread = std::thread([this] { Run(); });
  }
  ~Watcher() {
    Stop();
    if (fd != -1) ::close(fd);
  }
  bool Ready() const { return fd != -1; }

  // Waits until a read on an event found files[index]; false where none did.
  bool WaitFor(int index) {
    std::unique_lock<std::mutex> lock(mutex);
    return seen.wait_for(lock, kBound, [&] { return latest >= index; });
  }
  int PartialReads() const { return partial; }
  // Stops watching and answers how many events came under the name, those
  // still queued included: the save's closes queue theirs before it returns.
  int Events() {
    Stop();
    for (int n; fd != -1 && (n = ReadEventsNamed(fd, name, 0)) > 0;) events += n;
    return events;
  }

 private:
  void Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
  }
  void Run() {
    while (!stop) {
      for (int n = ReadEventsNamed(fd, name, 50); n > 0; --n) {
        ++events;
        const Bytes read = testsupport::ReadWholeFile(path);
        const auto found = std::find(files.begin(), files.end(), read);
        if (found == files.end()) {
          ++partial;
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        latest = std::max(latest, static_cast<int>(found - files.begin()));
        seen.notify_all();
      }
    }
  }

  const std::string name;
  const std::vector<Bytes>& files;
  std::string path;
  int fd = -1;
  std::atomic<bool> stop{false};
  std::atomic<int> partial{0};
  std::atomic<int> events{0};
  std::mutex mutex;
  std::condition_variable seen;
  int latest = -1;  // the latest picture a read found
  std::thread thread;
};

class SaveWatcherTest : public ::testing::TestWithParam<std::tuple<Place, Route, Target>> {
 protected:
  void TearDown() override { KVO::SetReplacingFileWriterUnnamedFiles(true); }
};

// Each save's event comes once its picture is there: a watcher that reads
// the file on it finds that picture, whole (an event given before the name
// leads to it would find the one before, or nothing). And it comes once, as
// fopen's does, so that a program handed each new picture takes it once
// (inotify merges a repeat the watcher has not read yet, so a second event
// shows only now and then; one save's event is read before the next save).
TEST_P(SaveWatcherTest, EverySaveEndsWithACloseAfterWriteUnderTheName) {
  const auto [place, route, target] = GetParam();
  ShmDir shm;
  testsupport::TempDir temp("tolvenix-watch");
  const std::string folder = place == Place::Tmpfs ? shm.root : temp.Root();
  if (folder.empty()) GTEST_SKIP() << "no writable tmpfs at /dev/shm";
  const std::string path = folder + "/picture.bmp";

  // Picture 0 is the file there before the first save (where there is one).
  std::vector<Bytes> pixels, files;
  for (int i = 0; i <= kSaves; ++i) {
    pixels.push_back(testsupport::Pattern(kSide * kSide * 3, static_cast<unsigned>(i + 1)));
    ASSERT_TRUE(SavePicture(folder + "/reference.bmp", pixels.back()));
    files.push_back(testsupport::ReadWholeFile(folder + "/reference.bmp"));
  }
  if (target == Target::Existing) {
    ASSERT_TRUE(SavePicture(path, pixels[0]));
  }
  KVO::SetReplacingFileWriterUnnamedFiles(route == Route::Unnamed);

  Watcher watcher(folder, "picture.bmp", files);
  ASSERT_TRUE(watcher.Ready());
  for (int i = 1; i <= kSaves; ++i) {
    if (target == Target::NewName) {
      const bool gone = ::unlink(path.c_str()) == 0 || errno == ENOENT;
      ASSERT_TRUE(gone);
    }
    ASSERT_TRUE(SavePicture(path, pixels[i])) << "save " << i;
    ASSERT_TRUE(watcher.WaitFor(i)) << "no close-after-write event under the name, save " << i;
  }
  EXPECT_EQ(0, watcher.PartialReads());
  EXPECT_EQ(kSaves, watcher.Events());
  EXPECT_TRUE(testsupport::HiddenNames(folder).empty());
}

// A umask that takes the owner's write bit leaves a new file its saver may
// not open for writing (fopen's create needs no such right, and its close
// is heard all the same). Such a save still ends with the event, and the
// file keeps the mode the umask gave. Takes root, to save as another user.
TEST(SaveWatcherOwnerTest, ANewFileItsSaverMayNotWriteStillEndsWithTheEvent) {
  if (::geteuid() != 0) GTEST_SKIP() << "saving as another user takes root";
  constexpr uid_t kUser = 54325;
  testsupport::TempDir temp("tolvenix-watch", testsupport::TempDir::Reach::EveryUser);
  if (temp.Root().empty()) GTEST_SKIP() << "no folder every user can reach";
  const std::string folder = temp.Path("users");
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
  ASSERT_EQ(0, ::chown(folder.c_str(), kUser, kUser));
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_NE(-1, watch);
  ASSERT_NE(-1, ::inotify_add_watch(watch, folder.c_str(), IN_CLOSE_WRITE));

  const std::string path = folder + "/picture.bmp";
  const Bytes pixels = testsupport::Pattern(kSide * kSide * 3);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kUser) != 0 || ::setuid(kUser) != 0) testsupport::ExitChild(2);
    ::umask(0277);
    testsupport::ExitChild(SavePicture(path, pixels) ? 0 : 1);
  }
  ASSERT_EQ(0, testsupport::WaitForExit(child));

  bool heard = false;
  const auto until = std::chrono::steady_clock::now() + kBound;
  while (!heard && std::chrono::steady_clock::now() < until) {
    heard = ReadEventsNamed(watch, "picture.bmp", 100) > 0;
  }
  ::close(watch);
  EXPECT_TRUE(heard);
  struct stat status;
  ASSERT_EQ(0, ::stat(path.c_str(), &status));
  EXPECT_EQ(0400u, status.st_mode & 0777);
  EXPECT_EQ(kUser, status.st_uid);
}

INSTANTIATE_TEST_SUITE_P(
    PlacesRoutesTargets, SaveWatcherTest,
    ::testing::Combine(::testing::Values(Place::Tmpfs, Place::TempFolder),
                       ::testing::Values(Route::Unnamed, Route::HiddenName),
                       ::testing::Values(Target::NewName, Target::Existing)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == Place::Tmpfs ? "Tmpfs" : "TempFolder") +
             (std::get<1>(info.param) == Route::Unnamed ? "Unnamed" : "HiddenName") +
             (std::get<2>(info.param) == Target::NewName ? "NewName" : "Existing");
    });

}  // namespace
