// Saves meeting what the file system attaches to a folder or a file: a
// folder whose names may only be added (append-only), a reader's lease on
// the target, and inode flags on the file replaced. Setting them takes root
// and a file system that keeps them; without either the test skips. A file
// system without a free inode, and a FUSE file system, which has no
// unnamed files at all.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

// The inode flags of `path` (as lsattr shows them); false where the file
// system has none.
bool InodeFlags(const std::string& path, int& flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const bool read = fd != -1 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (fd != -1) close(fd);
  return read;
}

// Turns `flags` on or off as chattr does; false where the file system or
// the process may not.
bool SetInodeFlags(const std::string& path, int flags, bool on) {
  int now = 0;
  if (!InodeFlags(path, now)) return false;
  now = on ? now | flags : now & ~flags;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const bool set = fd != -1 && ioctl(fd, FS_IOC_SETFLAGS, &now) == 0;
  if (fd != -1) close(fd);
  return set;
}

class SaveFileSystemTest : public testsupport::TempDirTest {
 protected:
  static constexpr int kWidth = 35, kHeight = 39;

  void SetUp() override {
    TempDirTest::SetUp();
    const std::string path = Path("expected.bmp");
    ASSERT_TRUE(Save(path));
    expected = testsupport::ReadWholeFile(path);
    ASSERT_EQ(0, unlink(path.c_str()));
  }
  bool Save(const std::string& path) const {
    return KVO::ImageSaver::StaticSaveBitmap(path.c_str(), kWidth, kHeight, 3, picture.data());
  }

  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
  Bytes expected;
};

// No name there can be removed or renamed away, so a save may leave nothing
// it would have to take back; both a new name and a replaced file get the
// picture.
TEST_F(SaveFileSystemTest, AnAppendOnlyFolderTakesThePictureAndNothingElse) {
  const std::string folder = Path("grows"), old = folder + "/old.bmp";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_TRUE(testsupport::WriteWholeFile(old, {'o', 'l', 'd'}));
  if (!SetInodeFlags(folder, FS_APPEND_FL, true)) {
    GTEST_SKIP() << "no append-only folders here (takes root and a file system with flags)";
  }
  // Made unnamed, and under a hidden name as where the file system has no
  // unnamed files.
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "under a hidden name");
    const std::string fresh = folder + (unnamed ? "/new.bmp" : "/new2.bmp");
    KVO::SetReplacingFileWriterUnnamedFiles(unnamed);
    const bool savedNew = Save(fresh), savedOld = Save(old);
    KVO::SetReplacingFileWriterUnnamedFiles(true);
    EXPECT_TRUE(savedNew);
    EXPECT_TRUE(savedOld);
    EXPECT_EQ(expected, testsupport::ReadWholeFile(fresh));
    EXPECT_EQ(expected, testsupport::ReadWholeFile(old));
    EXPECT_TRUE(testsupport::WriteWholeFile(old, {'o', 'l', 'd'}));
  }
  const std::vector<std::string> names = testsupport::FolderNames(folder);
  EXPECT_EQ((std::vector<std::string>{"new.bmp", "new2.bmp", "old.bmp"}), names);
  ASSERT_TRUE(SetInodeFlags(folder, FS_APPEND_FL, false));  // else the folder stays for good
}

// A name that a link takes in an append-only folder while the save runs
// can be neither replaced there nor written through (the link leads to no
// file the save found): the save is refused with EPERM, and the folder
// keeps the link and nothing else.
TEST_F(SaveFileSystemTest, AnAppendOnlyFolderRefusesANameALinkTookMeanwhile) {
  const std::string folder = Path("grows"), path = folder + "/t.bmp";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  if (!SetInodeFlags(folder, FS_APPEND_FL, true)) {
    GTEST_SKIP() << "no append-only folders here (takes root and a file system with flags)";
  }
  KVO::ReplacingFileWriter writer;
  std::FILE* stream = writer.Open(path.c_str());
  const bool written = stream != nullptr && std::fwrite("fresh", 1, 5, stream) == 5;
  const bool linked = symlink("elsewhere", path.c_str()) == 0;
  errno = 0;
  const bool saved = writer.Finish(stream, written);
  const int refusal = errno;
  ASSERT_TRUE(SetInodeFlags(folder, FS_APPEND_FL, false));
  ASSERT_TRUE(written && linked);
  EXPECT_FALSE(saved);
  EXPECT_EQ(EPERM, refusal);
  struct stat status = {};
  EXPECT_TRUE(lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode));
  EXPECT_EQ(std::vector<std::string>{"t.bmp"}, testsupport::FolderNames(folder));
}

// A reader holding a lease is told by the kernel to let go when the target
// is opened for writing; the save waits for that instead of failing. The
// holder lets go as soon as its lease shows the break. So it does where the
// name is the holder's own descriptor, open only for reading, which is
// opened anew and written in place.
TEST_F(SaveFileSystemTest, ASaveOverALeasedFileWaitsForTheLease) {
  const std::string target = Path("leased.bmp");
  // The break is announced with SIGIO, whose default ends the process.
  struct sigaction ignore = {}, was = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &was);
  for (const bool throughDescriptor : {false, true}) {
    SCOPED_TRACE(throughDescriptor ? "the holder's descriptor" : "the name");
    ASSERT_TRUE(testsupport::WriteWholeFile(target, {'o', 'l', 'd'}));
    const int holder = open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(-1, holder);
    if (fcntl(holder, F_SETLEASE, F_RDLCK) != 0) {
      close(holder);
      sigaction(SIGIO, &was, nullptr);
      GTEST_SKIP() << "no leases here";
    }
    struct stat before = {}, after = {};
    ASSERT_EQ(0, fstat(holder, &before));
    const std::string path = throughDescriptor ? "/dev/fd/" + std::to_string(holder) : target;
    std::atomic<bool> done{false};
    bool saved = false;
    std::thread saver([&] {
      saved = Save(path);
      done = true;
    });
    while (!done && fcntl(holder, F_GETLEASE) == F_RDLCK) usleep(100);
    const int released = fcntl(holder, F_SETLEASE, F_UNLCK);
    saver.join();
    close(holder);
    EXPECT_EQ(0, released);
    EXPECT_TRUE(saved);
    EXPECT_EQ(expected, testsupport::ReadWholeFile(target));
    ASSERT_EQ(0, stat(target.c_str(), &after));
    EXPECT_EQ(throughDescriptor, before.st_ino == after.st_ino);
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
  }
  sigaction(SIGIO, &was, nullptr);
}

// Flags that say how the file is to be kept (not dumped, no access times,
// written synchronously) stay with the file the picture replaces.
TEST_F(SaveFileSystemTest, AReplacedFileKeepsItsInodeFlags) {
  constexpr int kKept = FS_NODUMP_FL | FS_NOATIME_FL | FS_SYNC_FL;
  const std::string target = Path("flagged.bmp");
  ASSERT_TRUE(testsupport::WriteWholeFile(target, {'o', 'l', 'd'}));
  if (!SetInodeFlags(target, kKept, true)) {
    GTEST_SKIP() << "the file system refuses nodump, noatime or sync";
  }
  EXPECT_TRUE(Save(target));
  EXPECT_EQ(expected, testsupport::ReadWholeFile(target));
  int flags = 0;
  ASSERT_TRUE(InodeFlags(target, flags));
  EXPECT_EQ(kKept, flags & kKept) << std::hex << flags;
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
}

// On a file system without a free inode a new name is refused as fopen
// refuses it, with ENOSPC; so is a file that would be replaced, whose
// copy aside cannot be made, before a byte of it changes. Neither save
// leaves anything behind. The file system is a tmpfs of few inodes in a
// child's own mount namespace.
TEST_F(SaveFileSystemTest, WithoutAFreeInodeSavesAreRefusedAndTheOldFileStaysWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can mount a file system";
  const std::string small = Path("small"), old = small + "/old.bmp", fresh = small + "/new.bmp";
  ASSERT_EQ(0, mkdir(small.c_str(), 0755));
  constexpr int kCannotMount = 40;
  const pid_t child = fork();
  if (child == 0) {
    if (!testsupport::MountPrivately("tmpfs", small, "tmpfs", 0, "nr_inodes=8,size=1m")) {
      testsupport::ExitChild(kCannotMount);
    }
    int failed = 0;
    const auto check = [&failed](bool held, const char* what) {
      if (!held) std::fprintf(stderr, "failed: %s (errno %d)\n", what, errno);
      failed += held ? 0 : 1;
    };
    check(testsupport::WriteWholeFile(old, {'o', 'l', 'd'}), "the old file is made");
    for (int i = 0; testsupport::WriteWholeFile(small + "/filler" + std::to_string(i), {}); ++i) {
    }
    const std::vector<std::string> before = testsupport::FolderNames(small);
    errno = 0;
    check(std::fopen(fresh.c_str(), "wb") == nullptr && errno == ENOSPC, "fopen refuses");
    errno = 0;
    check(!Save(fresh) && errno == ENOSPC, "a new name is refused with ENOSPC");
    errno = 0;
    check(!Save(old) && errno == ENOSPC, "a replaced file is refused with ENOSPC");
    check(testsupport::ReadWholeFile(old) == Bytes{'o', 'l', 'd'}, "the old file stays whole");
    check(testsupport::FolderNames(small) == before, "nothing is left behind");
    testsupport::ExitChild(failed);
  }
  const int code = testsupport::WaitForExit(child);
  if (code == kCannotMount) GTEST_SKIP() << "no mount namespace to be had here";
  EXPECT_EQ(0, code);
}

// Mounts `source` on `mounted` with bindfs, in the calling process's mount
// namespace, and answers the daemon's id once the mount is there; -1 where
// bindfs is missing or does not mount. The daemon dies with its parent.
pid_t MountBindfs(const std::string& source, const std::string& mounted) {
  const pid_t daemon = fork();
  if (daemon == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execlp("bindfs", "bindfs", "-f", source.c_str(), mounted.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // A bound only a hang reaches: the mount is there or the daemon gone.
  for (int waited = 0; daemon != -1 && waited < 12000; ++waited) {
    struct statfs status = {};
    if (statfs(mounted.c_str(), &status) == 0 && status.f_type == FUSE_SUPER_MAGIC) return daemon;
    if (waitpid(daemon, nullptr, WNOHANG) == daemon) return -1;
    usleep(10000);
  }
  if (daemon != -1) {
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
  }
  return -1;
}

std::string watchedFolder;
int hiddenAtNaming = -1;

// A FUSE file system refuses unnamed files by errno: the picture's file is
// then made under a hidden name, a new name is given without replacing
// (FUSE renames nothing that way, so by a link), an existing file is
// replaced, and a name taken meanwhile by a file with another link is
// written in place. Mounted in a child's own mount namespace, so that
// nothing stays mounted whatever happens.
TEST_F(SaveFileSystemTest, AFuseFileSystemWithoutUnnamedFilesGetsEveryPicture) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "mounting a FUSE file system takes root and /dev/fuse";
  }
  const std::string source = Path("source"), mounted = Path("mounted");
  ASSERT_EQ(0, mkdir(source.c_str(), 0755));
  ASSERT_EQ(0, mkdir(mounted.c_str(), 0755));
  watchedFolder = mounted;
  constexpr int kCannotMount = 40, kTakesUnnamedFiles = 41;
  const pid_t child = fork();
  if (child == 0) {
    const pid_t daemon =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            ? MountBindfs(source, mounted)
            : -1;
    if (daemon == -1) testsupport::ExitChild(kCannotMount);
    const auto unmount = [&] {
      umount2(mounted.c_str(), MNT_DETACH);
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    };
    const int unnamed = open(mounted.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed != -1) {
      close(unnamed);
      unmount();
      testsupport::ExitChild(kTakesUnnamedFiles);
    }
    int failed = 0;
    const auto check = [&failed](bool held, const char* what) {
      if (!held) std::fprintf(stderr, "failed: %s\n", what);
      failed += held ? 0 : 1;
    };
    KVO::SetReplacingFileWriterNamingHook(
        [](const char*) { hiddenAtNaming = !testsupport::HiddenNames(watchedFolder).empty(); });
    // Files are looked at underneath too: through the mount, FUSE may show
    // what it cached of another name of the same file.
    const std::string old = source + "/old.bmp", fresh = source + "/new.bmp";
    struct stat before = {}, after = {};
    check(testsupport::WriteWholeFile(old, {'o', 'l', 'd'}) && stat(old.c_str(), &before) == 0 &&
              Save(mounted + "/old.bmp") && stat(old.c_str(), &after) == 0 &&
              before.st_ino != after.st_ino && testsupport::ReadWholeFile(old) == expected,
          "an existing file is replaced");
    check(Save(mounted + "/new.bmp") && testsupport::ReadWholeFile(fresh) == expected,
          "a new name is saved");
    check(hiddenAtNaming == 1, "the file was made under a hidden name");
    const std::string taken = mounted + "/taken.bmp";
    KVO::ReplacingFileWriter writer;
    std::FILE* stream = writer.Open(taken.c_str());
    check(stream != nullptr && std::fwrite("fresh", 1, 5, stream) == 5 &&
              testsupport::WriteWholeFile(taken, {'o', 'l', 'd'}) &&
              link(taken.c_str(), (mounted + "/other.bmp").c_str()) == 0 &&
              writer.Finish(stream, true),
          "a name taken meanwhile is saved");
    check(testsupport::ReadWholeFile(source + "/other.bmp") ==
              testsupport::Bytes{'f', 'r', 'e', 's', 'h'},
          "the taken file's other link shows the picture");
    unmount();
    // Once the daemon is gone, which removes what it kept of open files.
    check(testsupport::HiddenNames(source).empty(), "no hidden name stays");
    testsupport::ExitChild(failed);
  }
  const int code = testsupport::WaitForExit(child);
  if (code == kCannotMount) GTEST_SKIP() << "bindfs does not mount here (no mount namespace?)";
  if (code == kTakesUnnamedFiles) GTEST_SKIP() << "this kernel's FUSE makes unnamed files";
  EXPECT_EQ(0, code);
}

}  // namespace
