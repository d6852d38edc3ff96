// Whose file a save leaves and how: where the finished picture is renamed
// over the target and where it is written in place, for each kind of
// target and saver, with the picture's file made unnamed (linked by its
// descriptor, or through /proc as where the kernel allows only that) and,
// as where the file system refuses that, under a hidden name. Each save
// runs in a forked child, so that the ids, umask, capabilities and
// descriptors it changes never reach the test process; the child reports
// through its exit status.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"
#include "runtime/FileAccess.h"
#include "tests/support/TestSupport.h"

namespace {

using KVO::ImageFileFormat;
using KVO::ImageSaver;
using testsupport::Bytes;

constexpr int kWidth = 35;
constexpr int kHeight = 39;
constexpr uid_t kOwner = 54321;   // owns the files that others save over
constexpr uid_t kMember = 54322;  // another member of the shared group
constexpr uid_t kStranger = 54323;
constexpr gid_t kShared = 54330;
constexpr mode_t kLeaveUmask = ~mode_t{0};
// As an id in the table: the test's own, which chown leaves as it is.
constexpr unsigned kSelf = ~0u;

pid_t StartChild(const std::function<bool()>& body) {
  const pid_t child = fork();
  if (child == 0) testsupport::ExitChild(body() ? 0 : 1);
  return child;
}

// The child's exit code, or -1 when it did not exit by itself in time.
int ExitCode(pid_t child) { return testsupport::WaitForExit(child); }

bool Succeeded(pid_t child) { return ExitCode(child) == 0; }

bool InChild(const std::function<bool()>& body) { return Succeeded(StartChild(body)); }

// Everything until the writers close `fd`; stops early, with what came,
// when nothing arrives for a bound only a hang reaches.
Bytes ReadToEnd(int fd) {
  Bytes read;
  unsigned char buffer[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, 120000);
    if (polled < 0 && errno == EINTR) continue;
    if (polled != 1) break;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    read.insert(read.end(), buffer, buffer + got);
  }
  return read;
}

// An access list in the kernel's layout: owner rw, kMember rw, group r,
// mask rw, others nothing.
std::string SharingList() {
  std::string bytes;
  const auto put = [&bytes](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
  };
  const std::uint32_t none = ~0u;
  const std::array<std::uint32_t, 3> entries[] = {
      {0x01, 6, none}, {0x02, 6, kMember}, {0x04, 4, none}, {0x10, 6, none}, {0x20, 0, none}};
  put(2, 4);  // the layout's version
  for (const auto& [tag, permissions, id] : entries) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return bytes;
}

enum class Saver {
  Self,              // the test's own ids
  Member,            // kMember, with kShared as a supplementary group
  MemberAlone,       // kMember, no supplementary group
  Stranger,          // kStranger, no supplementary group
  RootWithoutFowner  // root that may change owners but not pass sticky bits
};

bool Become(Saver saver) {
  const auto user = [](uid_t uid, gid_t extra) {
    return setgroups(extra != 0 ? 1 : 0, &extra) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
  };
  switch (saver) {
    case Saver::Self:
      return true;
    case Saver::Member:
      return user(kMember, kShared);
    case Saver::MemberAlone:
      return user(kMember, 0);
    case Saver::Stranger:
      return user(kStranger, 0);
    case Saver::RootWithoutFowner: {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      if (syscall(SYS_capget, &header, data) != 0) return false;
      data[0].effective &= ~(1u << CAP_FOWNER);
      return syscall(SYS_capset, &header, data) == 0;
    }
  }
  return false;
}

enum class Via { Name, RelativeLink, SecondLink };

struct SaveCase {
  const char* name;
  // The folder and the file already there (none when fileMode is 0).
  mode_t folderMode;
  uid_t folderUid;
  gid_t folderGid;
  mode_t fileMode;
  uid_t fileUid;
  gid_t fileGid;
  Via via;
  Saver saver;
  mode_t umask;
  // Afterwards: written in place (same inode) or renamed, and the ids and
  // mode the file has; a new file is expected with the saver's ids.
  bool inPlace;
  mode_t mode;
  uid_t uid;
  gid_t gid;
};

std::ostream& operator<<(std::ostream& out, const SaveCase& c) { return out << c.name; }

// How the save makes and names its file.
enum class Route { Unnamed, UnnamedThroughProc, HiddenName };

// A row, and the route.
class SaveTargetTest : public ::testing::TestWithParam<std::tuple<SaveCase, Route>> {
 protected:
  void SetUp() override {
    if (dir.Root().empty()) {
      GTEST_SKIP() << "no temporary folder here that the other savers could reach";
    }
  }

  // The other savers must reach the folder below.
  testsupport::TempDir dir{"tolvenix", testsupport::TempDir::Reach::EveryUser};
  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
};

TEST_P(SaveTargetTest, KeepsWhoseFileItIs) {
  const SaveCase& c = std::get<0>(GetParam());
  const Route route = std::get<1>(GetParam());
  const bool needsRoot =
      c.saver != Saver::Self || (c.folderUid & c.folderGid & c.fileUid & c.fileGid) != kSelf;
  if (needsRoot && geteuid() != 0) {
    GTEST_SKIP() << "only root can make files of other users and save as them";
  }
  const std::string folder = dir.Path("f"), path = folder + "/t.bmp",
                    expected = dir.Path("expected.bmp");
  ASSERT_TRUE(ImageSaver::StaticSaveBitmap(expected.c_str(), kWidth, kHeight, 3, picture.data()));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  ASSERT_EQ(0, chown(folder.c_str(), c.folderUid, c.folderGid));
  ASSERT_EQ(0, chmod(folder.c_str(), c.folderMode));
  struct stat before = {};
  if (c.fileMode != 0) {
    ASSERT_TRUE(testsupport::WriteWholeFile(path, {'o', 'l', 'd'}));
    ASSERT_EQ(0, chown(path.c_str(), c.fileUid, c.fileGid));
    ASSERT_EQ(0, chmod(path.c_str(), c.fileMode));
    ASSERT_EQ(0, stat(path.c_str(), &before));
  }
  std::string name = path;
  if (c.via == Via::RelativeLink) {
    name = folder + "/link.bmp";
    ASSERT_EQ(0, symlink("t.bmp", name.c_str()));
  } else if (c.via == Via::SecondLink) {
    ASSERT_EQ(0, link(path.c_str(), (folder + "/other.bmp").c_str()));
  }

  // In a sticky folder the rows show what the saver does with the kernel's
  // shared-folder protections off, whatever this machine's settings are.
  const bool sticky = (c.folderMode & S_ISVTX) != 0;
  constexpr int kNoPrivateSettings = 42;
  const int result = ExitCode(StartChild([&] {
    if (sticky && !testsupport::SeeProtectionSettings(dir.Root(), 0, 0, 0)) {
      testsupport::ExitChild(kNoPrivateSettings);
    }
    if (c.umask != kLeaveUmask) umask(c.umask);
    KVO::SetReplacingFileWriterUnnamedFiles(route != Route::HiddenName);
    KVO::SetReplacingFileWriterLinkThroughProc(route == Route::UnnamedThroughProc);
    const int descriptors = testsupport::OpenDescriptorCount();
    return Become(c.saver) &&
           ImageSaver::StaticSaveBitmap(name.c_str(), kWidth, kHeight, 3, picture.data()) &&
           testsupport::OpenDescriptorCount() == descriptors;
  }));
  if (result == kNoPrivateSettings) {
    GTEST_SKIP() << "no private mount namespace to turn the shared-folder protections off in";
  }
  EXPECT_EQ(0, result);

  const Bytes saved = testsupport::ReadWholeFile(expected);
  EXPECT_EQ(saved, testsupport::ReadWholeFile(path));
  if (c.via == Via::SecondLink) {
    EXPECT_EQ(saved, testsupport::ReadWholeFile(folder + "/other.bmp"));
  }
  struct stat after = {}, linkStatus = {};
  ASSERT_EQ(0, stat(path.c_str(), &after));
  if (c.via == Via::RelativeLink) {
    EXPECT_TRUE(lstat(name.c_str(), &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode));
  }
  if (c.fileMode != 0) {
    EXPECT_EQ(c.inPlace, before.st_ino == after.st_ino);
  }
  EXPECT_EQ(c.mode, after.st_mode & 07777);
  EXPECT_EQ(c.uid == kSelf ? geteuid() : c.uid, after.st_uid);
  EXPECT_EQ(c.gid == kSelf ? getegid() : c.gid, after.st_gid);
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
}

// clang-format off
const SaveCase kSaveCases[] = {
    // name, folder mode/uid/gid, file mode/uid/gid (mode 0: none), via, saver, umask,
    // in place, then the mode and ids afterwards
    SaveCase{"NewFileUnderAUmask", 0755, kSelf, kSelf, 0, kSelf, kSelf,
             Via::Name, Saver::Self, 027, false, 0640, kSelf, kSelf},
    SaveCase{"NewFileOfAnotherSaver", 0777, kSelf, kSelf, 0, kSelf, kSelf,
             Via::Name, Saver::Member, 002, false, 0664, kMember, kMember},
    SaveCase{"OwnFileKeepsItsMode", 0755, kSelf, kSelf, 0604, kSelf, kSelf,
             Via::Name, Saver::Self, 077, false, 0604, kSelf, kSelf},
    SaveCase{"AnotherUsersFileSavedByRootKeepsItsOwnerAndGroup", 0755, kSelf, kSelf, 0640, kOwner, kShared,
             Via::Name, Saver::Self, kLeaveUmask, false, 0640, kOwner, kShared},
    SaveCase{"RelativeLinkHasItsTargetReplaced", 0755, kSelf, kSelf, 0604, kSelf, kSelf,
             Via::RelativeLink, Saver::Self, kLeaveUmask, false, 0604, kSelf, kSelf},
    SaveCase{"SecondLinkSeesThePicture", 0755, kSelf, kSelf, 0644, kSelf, kSelf,
             Via::SecondLink, Saver::Self, kLeaveUmask, true, 0644, kSelf, kSelf},
    SaveCase{"GroupSharedFileStaysItsOwners", 0770, kSelf, kShared, 0660, kOwner, kShared,
             Via::Name, Saver::Member, kLeaveUmask, true, 0660, kOwner, kShared},
    SaveCase{"OwnFileInAGroupOfTheSaversIsReplacedWithItsGroup", 0755, kMember, kMember, 0640,
             kMember, kShared, Via::Name, Saver::Member, kLeaveUmask, false, 0640, kMember, kShared},
    SaveCase{"OwnFileInAGroupTheSaverLeftKeepsItsGroup", 0755, kMember, kMember, 0640,
             kMember, kShared, Via::Name, Saver::MemberAlone, kLeaveUmask, true, 0640, kMember,
             kShared},
    SaveCase{"AnotherUsersFileInAStickyFolder", 01777, kSelf, kSelf, 0666, kOwner, kOwner,
             Via::Name, Saver::Stranger, kLeaveUmask, true, 0666, kOwner, kOwner},
    // The ids can be restored, but the rename is refused once the picture
    // is written: it is copied in place and the temporary removed.
    SaveCase{"StickyFolderThatRefusesTheRename", 01777, kStranger, kStranger, 0644, kOwner, kOwner,
             Via::Name, Saver::RootWithoutFowner, kLeaveUmask, true, 0644, kOwner, kOwner}};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Table, SaveTargetTest,
                         ::testing::Combine(::testing::ValuesIn(kSaveCases),
                                            ::testing::Values(Route::Unnamed,
                                                              Route::UnnamedThroughProc,
                                                              Route::HiddenName)),
                         [](const ::testing::TestParamInfo<SaveTargetTest::ParamType>& info) {
                           const Route route = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) +
                                  (route == Route::Unnamed      ? ""
                                   : route == Route::HiddenName ? "UnderAHiddenName"
                                                                : "ThroughProc");
                         });

// The folder for savers of other ids lies under TMPDIR when every user can
// pass through it, else under a shared /tmp, and goes with its contents.
TEST(SaveTargetFolderTest, LiesWhereEveryUserPassesAndIsRemoved) {
  using Reach = testsupport::TempDir::Reach;
  testsupport::TempDir open{"tolvenix", Reach::EveryUser};
  if (open.Root().empty()) GTEST_SKIP() << "no temporary folder here that every user reaches";
  const std::string hidden = open.Path("private");
  ASSERT_EQ(0, mkdir(hidden.c_str(), 0700));
  struct stat status = {};
  const bool sharedTmp = stat("/tmp", &status) == 0 && (status.st_mode & 01007) == 01007;
  const auto parent = [](std::string folder) {
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder.substr(0, folder.rfind('/') + 1);
  };
  const char* const was = std::getenv("TMPDIR");
  const std::string saved = was != nullptr ? was : "";
  for (const std::string& tmp : {open.Root(), hidden + "/"}) {
    setenv("TMPDIR", tmp.c_str(), 1);
    std::string made;
    {
      testsupport::TempDir dir{"tolvenix", Reach::EveryUser};
      made = dir.Root();
      const std::string expected = tmp != open.Root() ? (sharedTmp ? "/tmp/" : "") : tmp;
      EXPECT_EQ(expected, parent(made)) << tmp;
      EXPECT_TRUE(made.empty() ||
                  (stat(made.c_str(), &status) == 0 && (status.st_mode & 07777) == 0711))
          << tmp;
    }
    EXPECT_TRUE(made.empty() || !testsupport::Exists(made)) << tmp;
  }
  if (was != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

class SavePathTest : public ::testing::Test {
 protected:
  bool Save(const char* name) const {
    return ImageSaver::StaticSaveBitmap(name, kWidth, kHeight, 3, picture.data());
  }

  testsupport::TempDir dir;
  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
  Bytes expected;

  void SetUp() override {
    const std::string path = dir.Path("expected.bmp");
    ASSERT_TRUE(Save(path.c_str()));
    expected = testsupport::ReadWholeFile(path);
  }
};

// What the process writes to the descriptor before and after the save
// stays around the picture, in order, in the one file.
TEST_F(SavePathTest, AFileBehindTheNameGetsThePictureWhereTheDescriptorStands) {
  const struct {
    const char* name;
    int descriptor;
  } names[] = {{"/dev/stdout", 1},
               {"/dev/stderr", 2},
               {"/dev/fd/1", 1},
               {"/proc/self/fd/1", 1},
               {"/proc/thread-self/fd/1", 1}};
  for (const auto& [name, descriptor] : names) {
    const std::string path = dir.Path("out");
    EXPECT_TRUE(InChild([&, descriptor = descriptor, name = name] {
      const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      return dup2(file, descriptor) == descriptor && write(descriptor, "head", 4) == 4 &&
             Save(name) && write(descriptor, "tail", 4) == 4;
    })) << name;
    Bytes whole = {'h', 'e', 'a', 'd'};
    whole.insert(whole.end(), expected.begin(), expected.end());
    whole.insert(whole.end(), {'t', 'a', 'i', 'l'});
    EXPECT_EQ(whole, testsupport::ReadWholeFile(path)) << name;
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir.Root()));
  }
}

// A descriptor open only for reading cannot take the picture itself; its
// name is opened anew, as fopen "wb" opens it: a file is truncated and
// written in place (the reader's offset stays where it was), and a pipe's
// reading end leads to the pipe, whose reader gets the picture.
TEST_F(SavePathTest, TheNameOfADescriptorOpenForReadingIsOpenedAnew) {
  const std::string path = dir.Path("read.bmp");
  ASSERT_TRUE(testsupport::WriteWholeFile(path, {'o', 'l', 'd', 'e', 'r'}));
  const int reader = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(-1, reader);
  char first = 0;
  ASSERT_EQ(1, read(reader, &first, 1));
  struct stat before = {}, after = {};
  ASSERT_EQ(0, fstat(reader, &before));
  EXPECT_TRUE(Save(("/dev/fd/" + std::to_string(reader)).c_str()));
  ASSERT_EQ(0, stat(path.c_str(), &after));
  EXPECT_EQ(1, lseek(reader, 0, SEEK_CUR));
  close(reader);
  EXPECT_EQ(expected, testsupport::ReadWholeFile(path));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir.Root()));

  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  ASSERT_GE(fcntl(ends[0], F_GETPIPE_SZ), static_cast<int>(expected.size()));
  EXPECT_TRUE(Save(("/proc/self/fd/" + std::to_string(ends[0])).c_str()));
  close(ends[1]);
  const Bytes carried = ReadToEnd(ends[0]);
  close(ends[0]);
  EXPECT_EQ(expected, carried);
}

// A file that refuses to be cut short (a memory file sealed against
// shrinking) is refused as fopen "wb" refuses it, and keeps its bytes.
TEST_F(SavePathTest, AFileThatRefusesTruncationIsRefusedAsFopenRefusesIt) {
  const int memory = memfd_create("sealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory == -1) GTEST_SKIP() << "no memory files here";
  ASSERT_EQ(3, write(memory, "old", 3));
  ASSERT_EQ(0, fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK));
  // Named through a descriptor open only for reading, so that the name is
  // opened anew.
  const int reader =
      open(("/proc/self/fd/" + std::to_string(memory)).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(-1, reader);
  const std::string name = "/dev/fd/" + std::to_string(reader);
  errno = 0;
  std::FILE* oracle = std::fopen(name.c_str(), "wb");
  const int fopenError = errno;
  if (oracle != nullptr) std::fclose(oracle);
  errno = 0;
  const bool saved = Save(name.c_str());
  const int saveError = errno;
  EXPECT_EQ(nullptr, oracle);
  EXPECT_FALSE(saved);
  EXPECT_STREQ(strerror(fopenError), strerror(saveError));
  char bytes[8] = {};
  EXPECT_EQ(3, pread(memory, bytes, sizeof bytes, 0));
  EXPECT_STREQ("old", bytes);
  close(reader);
  close(memory);
}

TEST_F(SavePathTest, APipeBehindTheNameCarriesThePictureOrIsRefusedWithoutReader) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  const pid_t child = StartChild([&] {
    close(ends[0]);
    return dup2(ends[1], 1) == 1 && Save("/dev/stdout");
  });
  close(ends[1]);
  const Bytes read = ReadToEnd(ends[0]);
  close(ends[0]);
  EXPECT_TRUE(Succeeded(child));
  EXPECT_EQ(expected, read);

  // Nobody reads: refused at once, and the child lives to say so (a write
  // would have raised SIGPIPE).
  ASSERT_EQ(0, pipe(ends));
  close(ends[0]);
  EXPECT_TRUE(InChild([&] { return dup2(ends[1], 1) == 1 && !Save("/dev/stdout"); }));
  close(ends[1]);
}

// A pipe whose writing end may not block (a parent set O_NONBLOCK on the
// shared descriptor) takes the picture in full as its reader makes room, as
// a reopened name would; the reader starts only once the pipe is full.
TEST_F(SavePathTest, APipeThatMayNotBlockTakesThePictureAsItsReaderMakesRoom) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  if (fcntl(ends[1], F_SETPIPE_SZ, 4096) >= static_cast<int>(expected.size()) ||
      fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    close(ends[0]);
    close(ends[1]);
    GTEST_SKIP() << "no pipe smaller than the picture here";
  }
  const pid_t child = StartChild([&] {
    close(ends[0]);
    return dup2(ends[1], 1) == 1 && Save("/dev/stdout");
  });
  for (int waited = 0; waited < 120000; ++waited) {
    pollfd room{ends[1], POLLOUT, 0};
    if (poll(&room, 1, 0) == 0) break;
    usleep(1000);
  }
  close(ends[1]);
  const Bytes read = ReadToEnd(ends[0]);
  close(ends[0]);
  EXPECT_TRUE(Succeeded(child));
  EXPECT_EQ(expected, read);
}

// Extended attributes, among them an access list sharing the file with
// another user, stay with the file: a temporary renamed over it would come
// without them.
TEST_F(SavePathTest, AFileWithExtendedAttributesKeepsThemAndIsWrittenInPlace) {
  const struct {
    const char* name;
    std::string value;
  } attributes[] = {{"user.origin", "camera 7"}, {"system.posix_acl_access", SharingList()}};
  int tried = 0;
  for (const auto& [name, value] : attributes) {
    const std::string path = dir.Path("tagged.bmp");
    ASSERT_TRUE(testsupport::WriteWholeFile(path, {'o', 'l', 'd'}));
    if (setxattr(path.c_str(), name, value.data(), value.size(), 0) != 0) {
      EXPECT_EQ(ENOTSUP, errno) << name;
      continue;
    }
    ++tried;
    struct stat before = {}, after = {};
    ASSERT_EQ(0, stat(path.c_str(), &before));
    EXPECT_TRUE(Save(path.c_str())) << name;
    ASSERT_EQ(0, stat(path.c_str(), &after));
    EXPECT_EQ(expected, testsupport::ReadWholeFile(path)) << name;
    EXPECT_EQ(before.st_ino, after.st_ino) << name;
    EXPECT_EQ(before.st_mode, after.st_mode) << name;
    std::string kept(value.size() + 16, '\0');
    const ssize_t size = getxattr(path.c_str(), name, kept.data(), kept.size());
    EXPECT_EQ(value, kept.substr(0, size < 0 ? 0 : static_cast<std::size_t>(size))) << name;
    EXPECT_EQ(0, unlink(path.c_str()));
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir.Root()));
  }
  if (tried == 0) GTEST_SKIP() << "the file system keeps no extended attributes";
}

// A file without an access list, in a folder whose default list shares new
// files with another user, gains none from the save.
TEST_F(SavePathTest, AFileWithoutTheFoldersDefaultAccessListGainsNone) {
  const std::string folder = dir.Path("shared"), path = folder + "/plain.bmp";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  const std::string list = SharingList();
  if (setxattr(folder.c_str(), "system.posix_acl_default", list.data(), list.size(), 0) != 0) {
    GTEST_SKIP() << "the file system keeps no access lists";
  }
  ASSERT_TRUE(testsupport::WriteWholeFile(path, {'o', 'l', 'd'}));
  ASSERT_EQ(0, removexattr(path.c_str(), "system.posix_acl_access"));
  ASSERT_EQ(0, chmod(path.c_str(), 0644));
  EXPECT_TRUE(Save(path.c_str()));
  EXPECT_EQ(expected, testsupport::ReadWholeFile(path));
  EXPECT_EQ(-1, getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0));
  struct stat after = {};
  ASSERT_EQ(0, stat(path.c_str(), &after));
  EXPECT_EQ(0644u, after.st_mode & 07777);
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
}

// The temporary's longer path would pass PATH_MAX, but it is made and
// renamed within the folder, so the file is replaced whole like any other.
TEST_F(SavePathTest, APathNearPathMaxIsSavedAndSavedAgain) {
  std::string root = dir.Root();
  root.pop_back();
  const std::string path = testsupport::DeepPath(root, 4088, 'p');
  ASSERT_EQ(4088u, path.size());
  const std::string folder = path.substr(0, path.rfind('/'));
  ASSERT_TRUE(Save(path.c_str()));
  EXPECT_EQ(expected, testsupport::ReadWholeFile(path));
  struct stat first = {}, second = {};
  ASSERT_EQ(0, stat(path.c_str(), &first));
  const Bytes other = testsupport::MakePicture(kWidth, kHeight, 3, 7);
  ASSERT_TRUE(ImageSaver::StaticSaveBitmap(path.c_str(), kWidth, kHeight, 3, other.data()));
  ASSERT_EQ(0, stat(path.c_str(), &second));
  EXPECT_NE(first.st_ino, second.st_ino);
  EXPECT_NE(expected, testsupport::ReadWholeFile(path));
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
}

// A file mounted over the name (as a container mounts single files) makes
// the rename fail with EBUSY once the picture is written; it is copied into
// the mounted file, and the file under the mount stays as it was.
TEST_F(SavePathTest, AFileMountedOverTheNameTakesThePictureInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can mount a file over another";
  const std::string mounted = dir.Path("mounted.bmp"), name = dir.Path("name.bmp");
  ASSERT_TRUE(testsupport::WriteWholeFile(mounted, {'o', 'l', 'd'}));
  ASSERT_TRUE(testsupport::WriteWholeFile(name, {'u', 'n', 'd', 'e', 'r'}));
  constexpr int kCannotMount = 2;
  const int code = ExitCode(StartChild([&] {
    if (!testsupport::MountPrivately(mounted, name, nullptr, MS_BIND, nullptr)) {
      testsupport::ExitChild(kCannotMount);
    }
    return Save(name.c_str());
  }));
  if (code == kCannotMount) GTEST_SKIP() << "no mount namespace to be had here";
  EXPECT_EQ(0, code);
  EXPECT_EQ(expected, testsupport::ReadWholeFile(mounted));
  EXPECT_EQ((Bytes{'u', 'n', 'd', 'e', 'r'}), testsupport::ReadWholeFile(name));
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir.Root()));
}

// The same, with the mounted file on a full disk that has room for its old
// bytes but not the picture: the save fails before it truncates the file,
// which keeps its old bytes (a copy that failed part way would lose both).
TEST_F(SavePathTest, AFileMountedOverTheNameOnAFullDiskKeepsItsBytes) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can mount a file over another";
  const std::string small = dir.Path("small"), mounted = small + "/mounted.bmp",
                    name = dir.Path("name.bmp");
  ASSERT_EQ(0, mkdir(small.c_str(), 0755));
  ASSERT_TRUE(testsupport::WriteWholeFile(name, {'u', 'n', 'd', 'e', 'r'}));
  ASSERT_GT(expected.size(), 4096u);  // two pages where the old bytes take one
  constexpr int kCannotMount = 2;
  const int code = ExitCode(StartChild([&] {
    if (!testsupport::MountPrivately("tmpfs", small, "tmpfs", 0, "size=64k") ||
        !testsupport::WriteWholeFile(mounted, {'o', 'l', 'd'}) ||
        mount(mounted.c_str(), name.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      testsupport::ExitChild(kCannotMount);
    }
    const int filler = open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::vector<char> page(4096, 'f');
    while (filler != -1 && write(filler, page.data(), page.size()) > 0) {
    }
    return !Save(name.c_str()) && testsupport::ReadWholeFile(mounted) == Bytes{'o', 'l', 'd'};
  }));
  if (code == kCannotMount) GTEST_SKIP() << "no mount namespace to be had here";
  EXPECT_EQ(0, code);
  EXPECT_EQ((Bytes{'u', 'n', 'd', 'e', 'r'}), testsupport::ReadWholeFile(name));
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir.Root()));
}

// Every entry point that writes through the replacing writer writes a
// device as named and reports a device that takes nothing, or a folder that
// does not exist, as a failure.
TEST(SaveEntryPointTest, DevicesAreWrittenAsNamedAndFailuresReported) {
  Bytes picture = testsupport::MakePicture(64, 64, 3);
  KVO::JpegFile header;
  const std::function<bool(const char*)> writers[] = {
      [&](const char* name) {
        return ImageSaver::Save(name, 64, 64, 3, picture.data(), ImageFileFormat::Jpeg, 0);
      },
      [&](const char* name) { return KVO::JPEGTurbo::WriteJPEG(name, 80, 64, 64, picture.data()); },
      [&](const char* name) { return header.WriteHeaderToFile(name); }};
  for (const auto& write : writers) {
    ::testing::internal::CaptureStderr();  // the static functions' messages
    EXPECT_TRUE(write("/dev/null"));
    EXPECT_FALSE(write("/dev/full"));
    EXPECT_FALSE(write("/no/such/folder/f.jpg"));
    ::testing::internal::GetCapturedStderr();
  }
}

}  // namespace
