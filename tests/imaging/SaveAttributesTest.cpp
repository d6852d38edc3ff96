// Saves of files that carry the kernel's attributes beyond the inode flags:
// a project id, extent size hints and the file system's own flags. fopen
// keeps them all, so a file that a save replaces must come with them, and
// where a new file cannot take them the save writes the old one in place.
// They live on XFS (and partly on ext4), made here on loop devices: that
// takes root, free loop devices and mkfs.xfs; without them the tests skip.
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/LoopMount.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

constexpr unsigned int kMiB = 1u << 20;
constexpr int kCannotSetUp = 42, kThreaded = 43;

// The fields a save is to keep.
struct Kept {
  unsigned int xflags = 0, extentBytes = 0, cowExtentBytes = 0, project = 0;
};

constexpr unsigned int kKeptXflags =
    FS_XFLAG_EXTSIZE | FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM | FS_XFLAG_DAX | FS_XFLAG_COWEXTSIZE;

bool operator==(const Kept& a, const Kept& b) {
  return (a.xflags & kKeptXflags) == (b.xflags & kKeptXflags) && a.extentBytes == b.extentBytes &&
         a.cowExtentBytes == b.cowExtentBytes && a.project == b.project;
}

std::ostream& operator<<(std::ostream& out, const Kept& k) {
  return out << std::hex << "xflags " << (k.xflags & kKeptXflags) << std::dec << ", extent size "
             << k.extentBytes << ", cow extent size " << k.cowExtentBytes << ", project "
             << k.project;
}

bool ReadKept(const std::string& path, Kept& kept) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  fsxattr a{};
  const bool read = fd != -1 && ioctl(fd, FS_IOC_FSGETXATTR, &a) == 0;
  if (fd != -1) close(fd);
  kept = {a.fsx_xflags, a.fsx_extsize, a.fsx_cowextsize, a.fsx_projid};
  return read;
}

// Gives `path` what `kept` says (as xfs_io's chattr, extsize, cowextsize
// and chproj do), and any other flag in it; false where the file system or
// the process refuses.
bool WriteKept(const std::string& path, const Kept& kept) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  fsxattr a{};
  bool set = fd != -1 && ioctl(fd, FS_IOC_FSGETXATTR, &a) == 0;
  a.fsx_xflags = (a.fsx_xflags & ~kKeptXflags) | kept.xflags;
  a.fsx_extsize = kept.extentBytes;
  a.fsx_cowextsize = kept.cowExtentBytes;
  a.fsx_projid = kept.project;
  set = set && ioctl(fd, FS_IOC_FSSETXATTR, &a) == 0;
  if (fd != -1) close(fd);
  return set;
}

ino_t Inode(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

class SaveAttributesTest : public ::testing::Test {
 protected:
  static constexpr int kWidth = 35, kHeight = 39;

  void TearDown() override { KVO::SetReplacingFileWriterUnnamedFiles(true); }

  // Mounts `type` and saves the expected picture's bytes; skips where the
  // file system cannot be had, saying why and what it `needs`.
  void Mount(const std::string& type, const std::string& mkfsOptions, std::uintmax_t imageBytes,
             const std::string& mountOptions = "", const std::string& needs = "") {
    mount = std::make_unique<testsupport::LoopMount>(type, mkfsOptions, imageBytes, mountOptions);
    if (mount->Root().empty()) GTEST_SKIP() << mount->Failure() << needs;
    const std::string path = mount->Path("expected.bmp");
    ASSERT_TRUE(Save(path));
    expected = testsupport::ReadWholeFile(path);
    ASSERT_EQ(0, unlink(path.c_str()));
  }
  void MountXfs() { Mount("xfs", "-q -f", 300ull * kMiB); }

  bool Save(const std::string& path) const {
    return KVO::ImageSaver::StaticSaveBitmap(path.c_str(), kWidth, kHeight, 3, picture.data());
  }

  // Whether the file system takes `kept` on a new empty file; one that
  // refuses DAX says so here.
  bool Takes(const Kept& kept) const {
    const std::string probe = mount->Path("probe");
    const bool taken = testsupport::WriteWholeFile(probe, {}) && WriteKept(probe, kept);
    unlink(probe.c_str());
    return taken;
  }

  // Makes `path` an empty file, gives it `kept` (XFS takes an extent size
  // hint only on a file without data), then writes old bytes into it.
  ::testing::AssertionResult MakeTarget(const std::string& path, const Kept& kept) const {
    Kept have;
    if (!testsupport::WriteWholeFile(path, {}) || !WriteKept(path, kept) || !ReadKept(path, have) ||
        !(have == kept)) {
      return ::testing::AssertionFailure() << "set " << kept << ", have " << have;
    }
    if (!testsupport::WriteWholeFile(path, {'o', 'l', 'd'})) {
      return ::testing::AssertionFailure() << "write";
    }
    return ::testing::AssertionSuccess();
  }

  // Whether `path` holds the picture and has `kept`; and, with `replaced`,
  // is another file than `before`, else the same one written in place.
  void ExpectSaved(const std::string& path, const Kept& kept, ino_t before, bool replaced) const {
    EXPECT_EQ(expected, testsupport::ReadWholeFile(path));
    Kept have;
    ASSERT_TRUE(ReadKept(path, have));
    EXPECT_EQ(kept, have);
    if (replaced) {
      EXPECT_NE(before, Inode(path)) << "written in place, not replaced";
    } else {
      EXPECT_EQ(before, Inode(path)) << "replaced, not written in place";
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
  }

  // Saves over `path`, made with `kept`, and expects what ExpectSaved does.
  void SaveOver(const std::string& path, const Kept& kept, bool replaced) const {
    ASSERT_TRUE(MakeTarget(path, kept));
    const ino_t before = Inode(path);
    EXPECT_TRUE(Save(path));
    ExpectSaved(path, kept, before, replaced);
  }

  // Runs `save(route)` with the file made unnamed, then under a hidden name
  // as where the file system has no unnamed files.
  template <typename Saves>
  static void OnBothRoutes(const Saves& save) {
    for (const bool unnamed : {true, false}) {
      SCOPED_TRACE(unnamed ? "unnamed" : "under a hidden name");
      KVO::SetReplacingFileWriterUnnamedFiles(unnamed);
      save(unnamed ? "unnamed" : "hidden");
      KVO::SetReplacingFileWriterUnnamedFiles(true);
    }
  }

  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
  Bytes expected;
  std::unique_ptr<testsupport::LoopMount> mount;
};

// The new file is empty when it takes the attributes.
TEST_F(SaveAttributesTest, AReplacedXfsFileKeepsItsProjectHintsAndFlags) {
  MountXfs();
  if (IsSkipped()) return;
  Kept kept{FS_XFLAG_EXTSIZE | FS_XFLAG_COWEXTSIZE | FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM |
                FS_XFLAG_DAX,
            kMiB, 2 * kMiB, 42};
  if (!Takes(kept)) {
    std::printf("the device refuses DAX: the file is kept without it\n");
    kept.xflags &= ~FS_XFLAG_DAX;
  }
  OnBothRoutes([&](const std::string& route) { SaveOver(mount->Path(route), kept, true); });
}

// The kernel links and renames into such a folder only files of its
// project: a file of another is written in place and keeps it, as with
// fopen; a file of the folder's project is still replaced.
TEST_F(SaveAttributesTest, AFolderThatGivesItsProjectKeepsFilesOfAnotherInPlace) {
  MountXfs();
  if (IsSkipped()) return;
  const std::string folder = mount->Path("project7");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_TRUE(WriteKept(folder, Kept{FS_XFLAG_PROJINHERIT, 0, 0, 7}));
  OnBothRoutes([&](const std::string& route) {
    for (const unsigned int project : {7u, 42u}) {
      SCOPED_TRACE("project " + std::to_string(project));
      SaveOver(folder + "/" + route + std::to_string(project),
               Kept{FS_XFLAG_EXTSIZE, kMiB, 0, project}, project == 7);
    }
  });
}

// Only a process in the first user namespace may change a file's project:
// one in another (as a container's root) writes the file in place, which
// keeps its project. The child maps its own user into a namespace of its own.
TEST_F(SaveAttributesTest, AProcessThatMayNotSetTheProjectWritesInPlace) {
  MountXfs();
  if (IsSkipped()) return;
  const std::string target = mount->Path("project.bmp");
  const Kept kept{0, 0, 0, 42};
  ASSERT_TRUE(MakeTarget(target, kept));
  const ino_t before = Inode(target);
  const pid_t child = fork();
  if (child == 0) {
    const std::string uid = "0 " + std::to_string(geteuid()) + " 1";
    const std::string gid = "0 " + std::to_string(getegid()) + " 1";
    // The kernel lets only a process without other threads in; a
    // sanitizer's own thread keeps a forked child out (EINVAL).
    if (unshare(CLONE_NEWUSER) != 0) {
      testsupport::ExitChild(errno == EINVAL ? kThreaded : kCannotSetUp);
    }
    if (!testsupport::WriteWholeFile("/proc/self/setgroups", {'d', 'e', 'n', 'y'}) ||
        !testsupport::WriteWholeFile("/proc/self/uid_map", Bytes(uid.begin(), uid.end())) ||
        !testsupport::WriteWholeFile("/proc/self/gid_map", Bytes(gid.begin(), gid.end()))) {
      testsupport::ExitChild(kCannotSetUp);
    }
    testsupport::ExitChild(Save(target) ? 0 : 1);
  }
  const int code = testsupport::WaitForExit(child);
  if (code == kCannotSetUp) GTEST_SKIP() << "no user namespace to be had here";
  if (code == kThreaded) GTEST_SKIP() << "the forked child has threads (a sanitizer's)";
  EXPECT_EQ(0, code);
  ExpectSaved(target, kept, before, false);
}

// A new name that another process takes while the save runs: the finished
// file already holds the picture, so it can take a project but no extent
// size hint. With a hint the picture is copied into the file found there.
TEST_F(SaveAttributesTest, ANameTakenMeanwhileKeepsWhatItCarries) {
  MountXfs();
  if (IsSkipped()) return;
  for (const bool unnamed : {true, false})
    for (const bool hint : {false, true}) {
      SCOPED_TRACE(hint ? "with an extent size hint" : "with a project and flags");
      SCOPED_TRACE(unnamed ? "made unnamed" : "made under a hidden name");
      KVO::SetReplacingFileWriterUnnamedFiles(unnamed);
      const std::string target = mount->Path(hint ? "hint.bmp" : "project.bmp");
      ::unlink(target.c_str());
      KVO::ReplacingFileWriter writer;
      std::FILE* stream = writer.Open(target.c_str());
      ASSERT_NE(nullptr, stream);
      const bool written =
          std::fwrite(expected.data(), 1, expected.size(), stream) == expected.size();
      const Kept kept{FS_XFLAG_NODEFRAG | FS_XFLAG_FILESTREAM | (hint ? FS_XFLAG_EXTSIZE : 0u),
                      hint ? kMiB : 0, 0, 42};
      ASSERT_TRUE(MakeTarget(target, kept));
      const ino_t before = Inode(target);
      EXPECT_TRUE(writer.Finish(stream, written));
      ExpectSaved(target, kept, before, !hint);
    }
}

// ext4 keeps DAX beside the inode flags; its project ids need the
// file system's project feature and a kernel with quota support.
TEST_F(SaveAttributesTest, AReplacedExt4FileKeepsItsDaxFlag) {
  Mount("ext4", "-q -F", 64ull * kMiB);
  if (IsSkipped()) return;
  const Kept kept{FS_XFLAG_DAX, 0, 0, 0};
  if (!Takes(kept)) GTEST_SKIP() << "the device refuses DAX";
  SaveOver(mount->Path("dax.bmp"), kept, true);
}

TEST_F(SaveAttributesTest, AReplacedExt4FileKeepsItsProject) {
  Mount("ext4", "-q -F -O project,quota", 64ull * kMiB, "prjquota",
        "; project ids on ext4 need a kernel built with quota support");
  if (IsSkipped()) return;
  SaveOver(mount->Path("project.bmp"), Kept{0, 0, 0, 42}, true);
}

}  // namespace
