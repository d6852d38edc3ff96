// A save answers every form of path as fopen "wb" does on this kernel:
// each form is opened by fopen in one scratch folder and saved in another
// made alike, and both must answer alike, with the same errno, and leave the
// same names. What a save accepted, the library reads back.
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

constexpr int kWidth = 35, kHeight = 39;
constexpr int kDeepLevels = 22;   // folders of 200-byte names under "deep"
constexpr int kChainLinks = 41;   // the longest chain of links made
constexpr int kDescriptor = 555;  // a file of the folder, open for writing

// Removes `name` in `at` with all it holds, a name at a time, since a tree
// deeper than PATH_MAX cannot be removed by its paths.
void RemoveTree(int at, const char* name) {
  const int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd != -1) {
    DIR* listing = fdopendir(fd);
    while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        RemoveTree(fd, entry->d_name);
      }
    }
    listing != nullptr ? closedir(listing) : close(fd);
  }
  if (unlinkat(at, name, AT_REMOVEDIR) != 0) unlinkat(at, name, 0);
}

// Every name under the open folder `at`, with its kind ('d' folder, 'l'
// link, 'f' anything else), sorted within each folder. A file not among
// `kept` (where given) is removed once listed.
void List(int at, const std::string& prefix, std::vector<std::string>& names,
          const std::vector<std::string>* kept) {
  for (const std::string& name : testsupport::FolderNames("/proc/self/fd/" + std::to_string(at))) {
    struct stat status = {};
    fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW);
    const char kind = S_ISDIR(status.st_mode) ? 'd' : S_ISLNK(status.st_mode) ? 'l' : 'f';
    names.push_back(prefix + name + ':' + kind);
    if (kept != nullptr && std::find(kept->begin(), kept->end(), names.back()) == kept->end()) {
      EXPECT_EQ(0, unlinkat(at, name.c_str(), 0)) << names.back();
    }
    const int inner = kind == 'd' ? openat(at, name.c_str(), O_RDONLY | O_DIRECTORY) : -1;
    if (inner != -1) List(inner, prefix + name + '/', names, kept);
    if (inner != -1) close(inner);
  }
}

// kChainLinks links named prefix0..., each leading to the next, the last to
// `end`: prefix<N> starts a chain of kChainLinks - N links.
bool MakeChain(const std::string& prefix, const std::string& end) {
  for (int i = 0; i < kChainLinks; ++i) {
    const std::string next = i + 1 < kChainLinks ? prefix + std::to_string(i + 1) : end;
    if (symlink(next.c_str(), (prefix + std::to_string(i)).c_str()) != 0) return false;
  }
  return true;
}
std::string Chain(const std::string& prefix, int links) {
  return prefix + std::to_string(kChainLinks - links);
}

// A path of `length` bytes into the folders under "deep": as many of them
// as leave a last name of at least 8 bytes.
std::string DeepName(std::size_t length) {
  std::string path = "deep";
  for (int level = 0; level < kDeepLevels && path.size() + 201 + 9 <= length; ++level) {
    path += '/' + std::string(200, 'd');
  }
  return path + '/' + std::string(length - path.size() - 1, 'n');
}

// Makes, in the working folder, what each form of path meets.
bool MakeLayout() {
  bool made = testsupport::WriteWholeFile("file.bmp", {'o', 'l', 'd'}) && mkdir("dir", 0755) == 0 &&
              symlink("file.bmp", "to-file") == 0 && symlink("dir", "to-dir") == 0 &&
              symlink("missing.bmp", "to-missing") == 0 && symlink("loop", "loop") == 0 &&
              MakeChain("plain", "end.bmp") && MakeChain("cwd", "/proc/self/cwd/end.bmp") &&
              MakeChain("fd", "/proc/self/fd/" + std::to_string(kDescriptor)) &&
              symlink(("." + std::string(4086, '/') + "long.bmp").c_str(), "long-link") == 0;
  made = made && testsupport::WriteWholeFile("fd.bmp", {}) && mkdir("locked", 0600) == 0 &&
         mkdir("readonly", 0555) == 0;
  int at = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& name : {std::string("deep"), std::string(200, 'd')}) {
    for (int level = 0; level < (name == "deep" ? 1 : kDeepLevels); ++level) {
      const int next = mkdirat(at, name.c_str(), 0755) == 0
                           ? openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
      close(at);
      at = next;
    }
  }
  if (at != -1) close(at);
  return made && at != -1;
}

// Calls `open` again while it fails with ELOOP, up to 20 times: the kernel
// counts a link again when it restarts a walk that a mount made anywhere on
// the machine interrupted, so a path within the limit may fail so by chance.
template <typename Open>
std::FILE* Patiently(const Open& open) {
  std::FILE* opened = open();
  for (int tries = 1; tries < 20 && opened == nullptr && errno == ELOOP; ++tries) opened = open();
  return opened;
}

// Sets the calling thread's overrides of file modes (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH) in force or aside, as far as it is allowed them;
// false where it has none to set aside.
bool OverridePermissions(bool inForce) {
  constexpr std::uint32_t kOverrides = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  if (!inForce && (data[0].effective & kOverrides) == 0) return false;
  data[0].effective = inForce ? data[0].effective | (data[0].permitted & kOverrides)
                              : data[0].effective & ~kOverrides;
  return syscall(SYS_capset, &header, data) == 0;
}

class SavePathFormTest : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    root = open(dir_.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_NE(-1, home);
    ASSERT_NE(-1, root);
    for (const char* side : {"fopen", "save"}) {
      ASSERT_EQ(0, mkdirat(root, side, 0755));
      ASSERT_EQ(0, chdir((dir_.Root() + side).c_str()));
      ASSERT_TRUE(MakeLayout());
    }
    made = Names("save");
  }
  void TearDown() override {
    OverridePermissions(true);
    EXPECT_EQ(0, fchdir(home));
    RemoveTree(root, "fopen");
    RemoveTree(root, "save");
    close(home);
    close(root);
  }

  void CompareEachForm() const;
  // Works in the folder `side`, the descriptor that forms name open on it.
  void Use(const char* side) const {
    ASSERT_EQ(0, chdir((dir_.Root() + side).c_str()));
    const int file = open("fd.bmp", O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(kDescriptor, fcntl(file, F_DUPFD_CLOEXEC, kDescriptor));
    close(file);
  }
  // What `side` holds; with `kept`, the files not among them are removed.
  std::vector<std::string> Names(const char* side,
                                 const std::vector<std::string>* kept = nullptr) const {
    std::vector<std::string> names;
    const int at = openat(root, side, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    List(at, "", names, kept);
    close(at);
    return names;
  }
  std::vector<std::string> Leave(const char* side) const {
    close(kDescriptor);
    return Names(side, &made);
  }

  int home = -1;
  int root = -1;
  std::vector<std::string> made;  // what each side holds before a form
  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
};

void SavePathFormTest::CompareEachForm() const {
  const std::string forms[] = {
      // Folders, and names written as folders.
      "", "/", ".", "..", "dir", "dir/", "dir/.", "dir/..", "dir/./", "file.bmp/", "file.bmp/.",
      "file.bmp/..", "file.bmp/./", "file.bmp/x", "missing/", "missing/.", "missing/..",
      "missing/./", "missing/x", "to-dir/", "to-file/", "to-file/.", "to-missing/", "loop/",
      "locked/", "locked/.", "locked/..", "locked/x/", "locked/x", "locked/./x",
      "/proc/self/status/", "/proc/self/status/x",
      // Names that are written.
      "file.bmp", "new.bmp", "dir//new.bmp", "dir/./new.bmp", "dir/../new.bmp", "to-dir/new.bmp",
      "to-file", "to-missing", "readonly/new.bmp", "./" + std::string(255, 'n'),
      std::string(256, 'n'), std::string(256, 'n') + "/", "loop", "loop/x",
      // The kernel's limits: PATH_MAX for the path and for a link's text,
      // 40 links however they are reached.
      DeepName(4095), DeepName(4096), DeepName(4438), "long-link", Chain("plain", 40),
      Chain("plain", 41), "/proc/self/cwd/new.bmp", "/proc/self/cwd/", "/proc/self/cwd/file.bmp/.",
      Chain("cwd", 37), Chain("cwd", 38), Chain("cwd", 39), Chain("fd", 38), Chain("fd", 39)};
  for (const std::string& form : forms) {
    SCOPED_TRACE("\"" + form.substr(0, 60) + "\" of " + std::to_string(form.size()) + " bytes");
    ASSERT_NO_FATAL_FAILURE(Use("fopen"));
    errno = 0;
    std::FILE* const opened = Patiently([&] { return std::fopen(form.c_str(), "wb"); });
    const int fopenError = opened == nullptr ? errno : 0;
    if (opened != nullptr) std::fclose(opened);
    const std::vector<std::string> fopenLeft = Leave("fopen");

    ASSERT_NO_FATAL_FAILURE(Use("save"));
    errno = 0;
    const bool saved =
        KVO::ImageSaver::StaticSaveBitmap(form.c_str(), kWidth, kHeight, 3, picture.data());
    const int saveError = saved ? 0 : errno;
    EXPECT_EQ(opened != nullptr, saved);
    EXPECT_STREQ(std::strerror(fopenError), std::strerror(saveError));
    std::FILE* const read =
        saved ? Patiently([&] { return KVO::OpenRegularFileForReading(form.c_str()); }) : nullptr;
    EXPECT_EQ(saved, read != nullptr) << "the saved file does not open for reading";
    if (read != nullptr) std::fclose(read);
    EXPECT_EQ(fopenLeft, Leave("save"));
  }
}

TEST_F(SavePathFormTest, EachFormIsAnsweredAsFopenAnswersIt) { CompareEachForm(); }

// Root passes any folder's mode; without those overrides the kernel looks
// for leave to search each folder first, also where a path names a folder.
TEST_F(SavePathFormTest, EachFormIsAnsweredAsFopenAnswersItWhereModesBind) {
  if (!OverridePermissions(false)) GTEST_SKIP() << "no capabilities here to set aside";
  CompareEachForm();
}

}  // namespace
