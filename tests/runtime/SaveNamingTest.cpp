// How a save names its finished file: a new name that another file takes
// while the save runs, on each way of making the file (unnamed and linked
// by its descriptor, unnamed and linked through /proc, under a hidden name
// from the start), and naming without /proc.
#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/FileAccess.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

enum class Route { Unnamed, UnnamedThroughProc, HiddenName };

const Bytes kOld = {'o', 'l', 'd'}, kFresh = {'f', 'r', 'e', 's', 'h'};

// What the seams do at their first call; later calls do nothing.
std::function<void()> atNaming, atOpen;
// What the open seam does at every call.
std::function<void()> atEveryOpen;
int namingCalls = 0;

// Drops to the unprivileged user `id` (a forked child only); with
// `keepRoot`, root stays the saved id, so that seteuid(0) gives it back.
bool BecomeUser(uid_t id, bool keepRoot = false) {
  return setgroups(0, nullptr) == 0 && setresgid(id, id, id) == 0 &&
         setresuid(id, id, keepRoot ? 0 : id) == 0;
}

class TakenNameTest : public testsupport::TempDirTest, public ::testing::WithParamInterface<Route> {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    KVO::SetReplacingFileWriterUnnamedFiles(GetParam() != Route::HiddenName);
    KVO::SetReplacingFileWriterLinkThroughProc(GetParam() == Route::UnnamedThroughProc);
    KVO::SetReplacingFileWriterNamingHook([](const char*) {
      ++namingCalls;
      if (atNaming) std::exchange(atNaming, nullptr)();
    });
    KVO::SetReplacingFileWriterOpenHook([](const char*) {
      if (atOpen) std::exchange(atOpen, nullptr)();
      if (atEveryOpen) atEveryOpen();
    });
  }
  void TearDown() override {
    KVO::SetReplacingFileWriterUnnamedFiles(true);
    KVO::SetReplacingFileWriterLinkThroughProc(false);
    KVO::SetReplacingFileWriterNamingHook(nullptr);
    KVO::SetReplacingFileWriterOpenHook(nullptr);
    atEveryOpen = nullptr;
  }

  // Saves "fresh" to the new name `path`, with `take` run between the
  // writes and Finish; answers Finish's result, errno kept.
  static bool SaveWhileTaken(const std::string& path, const std::function<void()>& take) {
    namingCalls = 0;
    KVO::ReplacingFileWriter writer;
    std::FILE* stream = writer.Open(path.c_str());
    if (stream == nullptr) return false;
    const bool written = std::fwrite(kFresh.data(), 1, kFresh.size(), stream) == kFresh.size();
    take();
    return writer.Finish(stream, written);
  }
};

// The file that took the name is kept as one found at Open is: replaced
// with its mode, owner and group where only its bytes change, else written
// in place, so its other links and its user attributes stay.
TEST_P(TakenNameTest, TheFileThatTookTheNameIsTreatedAsOneFoundAtOpen) {
  const struct {
    const char* name;
    bool linked, tagged, owned;
  } kinds[] = {{"one link", false, false, false},
               {"another link", true, false, false},
               {"a user attribute", false, true, false},
               {"another user's", false, false, true}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    if (kind.owned && geteuid() != 0) continue;  // only root makes another user's file
    const std::string path = Path("t.bmp"), other = Path("other.bmp");
    struct stat taken = {}, after = {};
    bool tagged = false;
    EXPECT_TRUE(SaveWhileTaken(path, [&] {
      ASSERT_TRUE(testsupport::WriteWholeFile(path, kOld));
      ASSERT_EQ(0, chmod(path.c_str(), 0604));
      ASSERT_TRUE(!kind.linked || link(path.c_str(), other.c_str()) == 0);
      ASSERT_TRUE(!kind.owned || chown(path.c_str(), 54321, 54330) == 0);
      tagged = kind.tagged && setxattr(path.c_str(), "user.origin", "cam", 3, 0) == 0;
      ASSERT_EQ(0, stat(path.c_str(), &taken));
    })) << strerror(errno);
    ASSERT_EQ(0, stat(path.c_str(), &after));
    EXPECT_EQ(kFresh, testsupport::ReadWholeFile(path));
    EXPECT_EQ(kind.linked || tagged, taken.st_ino == after.st_ino);
    EXPECT_EQ(0604u, after.st_mode & 07777);
    EXPECT_TRUE(after.st_uid == taken.st_uid && after.st_gid == taken.st_gid);
    EXPECT_EQ(kind.linked ? kFresh : Bytes{}, testsupport::ReadWholeFile(other));
    EXPECT_EQ(tagged ? 3 : -1, getxattr(path.c_str(), "user.origin", nullptr, 0));
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
    unlink(path.c_str());
    unlink(other.c_str());
  }
}

// A taken file that the saver may not write is refused with EACCES, as
// fopen "wb" refuses it, and left as it was: the saver's own read-only
// file, and (with the protection of regular files on) another user's file
// in a sticky folder that everyone writes. The saver is an unprivileged
// user in a child, since root may write any file.
TEST_P(TakenNameTest, AFileTheSaverMayNotWriteIsRefusedAndLeftAsItIs) {
  testsupport::TempDir shared{"tolvenix", testsupport::TempDir::Reach::EveryUser};
  if (geteuid() != 0 || shared.Root().empty()) {
    GTEST_SKIP() << "only root can save as another user, into a folder every user reaches";
  }
  constexpr uid_t kSaver = 65534;
  for (const bool sticky : {false, true}) {
    SCOPED_TRACE(sticky ? "another user's file, sticky folder" : "its own read-only file");
    const std::string folder = shared.Path(sticky ? "sticky" : "plain"), path = folder + "/t.bmp";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0777));
    ASSERT_EQ(0, chmod(folder.c_str(), sticky ? 01777 : 0777));
    constexpr int kNoPrivateSettings = 42;
    const pid_t child = fork();
    if (child == 0) {
      if (sticky && !testsupport::SeeProtectionSettings(shared.Root(), 1, 1, 1)) {
        testsupport::ExitChild(kNoPrivateSettings);
      }
      if (!BecomeUser(kSaver, true)) testsupport::ExitChild(2);
      const bool saved = SaveWhileTaken(path, [&] {
        // The other user's file is made with root's id taken back for it.
        const int fd = sticky
                           ? (seteuid(0) == 0 ? open(path.c_str(), O_WRONLY | O_CREAT, 0666) : -1)
                           : open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
        if (fd == -1 || write(fd, kOld.data(), kOld.size()) != 3 ||
            (sticky &&
             (fchown(fd, 54321, 54321) != 0 || fchmod(fd, 0666) != 0 || seteuid(kSaver) != 0))) {
          testsupport::ExitChild(3);
        }
        close(fd);
      });
      const int refusal = errno;
      // fopen as the oracle, where the kernel's own rules are the library's.
      std::FILE* oracle = sticky ? nullptr : std::fopen(path.c_str(), "wb");
      const int oracleRefusal = sticky ? EACCES : errno;
      if (oracle != nullptr) std::fclose(oracle);
      testsupport::ExitChild(saved ? 4 : refusal != EACCES ? 5 : oracleRefusal != EACCES ? 6 : 0);
    }
    const int code = testsupport::WaitForExit(child);
    if (code == kNoPrivateSettings) continue;
    EXPECT_EQ(0, code) << "4: saved, 5: another errno, 6: fopen did not refuse";
    EXPECT_EQ(kOld, testsupport::ReadWholeFile(path));
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
  }
}

// Where the taken name is gone again, or leads to yet another file, before
// a byte of the file there is written, the naming starts over and the save
// succeeds; the file that lost the name keeps its bytes.
TEST_P(TakenNameTest, ANameGoneAgainIsNamedAfresh) {
  const std::string path = Path("t.bmp"), other = Path("other.bmp");
  // Taken, then removed right after the save opened it.
  atNaming = [&] { ASSERT_TRUE(testsupport::WriteWholeFile(path, kOld)); };
  atOpen = [&] { ASSERT_EQ(0, unlink(path.c_str())); };
  EXPECT_TRUE(SaveWhileTaken(path, [] {}));
  EXPECT_EQ(2, namingCalls);
  EXPECT_EQ(kFresh, testsupport::ReadWholeFile(path));
  ASSERT_EQ(0, unlink(path.c_str()));

  // Taken by a file with more links, to be written in place, and another
  // file renamed over the name before it was: that one is replaced, the
  // first keeps its bytes under its other names.
  atNaming = [&] {
    ASSERT_TRUE(testsupport::WriteWholeFile(path, kOld));
    ASSERT_EQ(0, link(path.c_str(), Path("a").c_str()));
    ASSERT_EQ(0, link(path.c_str(), Path("b").c_str()));
    ASSERT_TRUE(testsupport::WriteWholeFile(other, kOld));
    ASSERT_EQ(0, chmod(other.c_str(), 0604));
  };
  atOpen = [&] { ASSERT_EQ(0, rename(other.c_str(), path.c_str())); };
  EXPECT_TRUE(SaveWhileTaken(path, [] {}));
  EXPECT_EQ(2, namingCalls);
  EXPECT_EQ(kFresh, testsupport::ReadWholeFile(path));
  EXPECT_EQ(kOld, testsupport::ReadWholeFile(Path("b")));
  struct stat after = {};
  ASSERT_EQ(0, stat(path.c_str(), &after));
  EXPECT_EQ(0604u, after.st_mode & 07777);
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
}

// Watchers of the folder hear of the picture that replaced or was copied
// into a taken name, with the name leading to the whole picture by then.
TEST_P(TakenNameTest, WatchersHearOfThePictureAtATakenName) {
  const std::string path = Path("t.bmp");
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "written in place" : "replaced");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_NE(-1, watch);
    EXPECT_TRUE(SaveWhileTaken(path, [&] {
      ASSERT_TRUE(testsupport::WriteWholeFile(path, kOld));
      ASSERT_TRUE(!linked || link(path.c_str(), Path("a").c_str()) == 0);
      ASSERT_NE(-1, inotify_add_watch(watch, dir_.Root().c_str(), IN_CLOSE_WRITE));
    }));
    alignas(inotify_event) char events[4096];
    int closes = 0;
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        closes += event->len > 0 && std::string("t.bmp") == event->name;
      }
    }
    close(watch);
    EXPECT_LE(1, closes);
    EXPECT_EQ(kFresh, testsupport::ReadWholeFile(path));
    unlink(path.c_str());
    unlink(Path("a").c_str());
  }
}

// Where the name leads to yet another file each time the save has opened
// the one it found there, the naming is given up after 100 tries with
// EAGAIN: the last file renamed there keeps its bytes, and nothing is left
// beside it.
TEST_P(TakenNameTest, ANameThatLeadsElsewhereAtEveryLookIsGivenUpWithEagain) {
  const std::string path = Path("t.bmp"), other = Path("other.bmp");
  atNaming = [&] { ASSERT_TRUE(testsupport::WriteWholeFile(path, kOld)); };
  atEveryOpen = [&] {
    ASSERT_TRUE(testsupport::WriteWholeFile(other, kOld));
    ASSERT_EQ(0, rename(other.c_str(), path.c_str()));
  };
  errno = 0;
  EXPECT_FALSE(SaveWhileTaken(path, [] {}));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_EQ(100, namingCalls);
  EXPECT_EQ(kOld, testsupport::ReadWholeFile(path));
  EXPECT_EQ(std::vector<std::string>{"t.bmp"}, testsupport::FolderNames(dir_.Root()));
}

// A link or a FIFO that took the name is replaced, as a rename over the
// name always did, and never written through: the link's target keeps its
// bytes, and no FIFO is waited on.
TEST_P(TakenNameTest, ALinkOrAFifoThatTookTheNameIsReplaced) {
  const std::string path = Path("t.bmp"), aim = Path("aim");
  ASSERT_TRUE(testsupport::WriteWholeFile(aim, kOld));
  for (const bool byLink : {true, false}) {
    SCOPED_TRACE(byLink ? "a link" : "a FIFO");
    EXPECT_TRUE(SaveWhileTaken(path, [&] {
      ASSERT_EQ(0, byLink ? symlink("aim", path.c_str()) : mkfifo(path.c_str(), 0644));
    })) << strerror(errno);
    struct stat after = {};
    ASSERT_EQ(0, lstat(path.c_str(), &after));
    EXPECT_TRUE(S_ISREG(after.st_mode));
    EXPECT_EQ(kFresh, testsupport::ReadWholeFile(path));
    EXPECT_EQ(kOld, testsupport::ReadWholeFile(aim));
    EXPECT_EQ((std::vector<std::string>{"aim", "t.bmp"}), testsupport::FolderNames(dir_.Root()));
    ASSERT_EQ(0, unlink(path.c_str()));
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, TakenNameTest,
                         ::testing::Values(Route::Unnamed, Route::UnnamedThroughProc,
                                           Route::HiddenName),
                         [](const ::testing::TestParamInfo<Route>& info) {
                           return info.param == Route::Unnamed      ? "Unnamed"
                                  : info.param == Route::HiddenName ? "UnderAHiddenName"
                                                                    : "UnnamedThroughProc";
                         });

// With /proc hidden, a file is still made unnamed where the kernel links
// its descriptor: for root always, for another user from Linux 6.10 on.
// What the folder holds just before the naming shows the way taken: a
// hidden name, or nothing. Either way every save succeeds.
TEST(SaveWithoutProcTest, MakesItsFileUnnamedWhereTheKernelLinksItsDescriptor) {
  testsupport::TempDir shared{"tolvenix", testsupport::TempDir::Reach::EveryUser};
  if (geteuid() != 0 || shared.Root().empty()) {
    GTEST_SKIP() << "only root can hide /proc (and then save as another user)";
  }
  utsname names = {};
  int major = 0, minor = 0;
  ASSERT_EQ(0, uname(&names));
  ASSERT_EQ(2, std::sscanf(names.release, "%d.%d", &major, &minor));
  const bool anyoneLinksDescriptors = major > 6 || (major == 6 && minor >= 10);
  static std::string folder;
  static int hiddenAtNaming;
  folder = shared.Path("f");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0777));
  ASSERT_EQ(0, chmod(folder.c_str(), 0777));
  constexpr int kCannotHideProc = 42;
  const pid_t child = fork();
  if (child == 0) {
    if (!testsupport::HideProc()) testsupport::ExitChild(kCannotHideProc);
    KVO::SetReplacingFileWriterLinkThroughProc(false);  // sees /proc is gone
    KVO::SetReplacingFileWriterNamingHook(
        [](const char*) { hiddenAtNaming = !testsupport::HiddenNames(folder).empty(); });
    int failed = 0;
    for (const bool root : {true, false}) {
      if (!root && !BecomeUser(65534)) testsupport::ExitChild(2);
      const std::string path = folder + (root ? "/root.bmp" : "/user.bmp");
      hiddenAtNaming = -1;
      struct stat first = {}, second = {};
      KVO::ReplacingFileWriter fresh, again;
      std::FILE* stream = fresh.Open(path.c_str());
      const bool made = stream != nullptr && fresh.Finish(stream, std::fputs("new", stream) >= 0);
      stream = again.Open(path.c_str());
      const bool replaced = made && stream != nullptr && stat(path.c_str(), &first) == 0 &&
                            again.Finish(stream, std::fputs("again", stream) >= 0) &&
                            stat(path.c_str(), &second) == 0 && second.st_ino != first.st_ino;
      if (!replaced || hiddenAtNaming != (root || anyoneLinksDescriptors ? 0 : 1) ||
          !testsupport::HiddenNames(folder).empty()) {
        std::fprintf(stderr, "%s: saved %d, hidden name at naming %d\n", root ? "root" : "user",
                     replaced, hiddenAtNaming);
        ++failed;
      }
    }
    testsupport::ExitChild(failed);
  }
  const int code = testsupport::WaitForExit(child);
  if (code == kCannotHideProc) GTEST_SKIP() << "no mount namespace here to hide /proc in";
  EXPECT_EQ(0, code);
  EXPECT_EQ((std::vector<std::string>{"root.bmp", "user.bmp"}), testsupport::FolderNames(folder));
}

}  // namespace
