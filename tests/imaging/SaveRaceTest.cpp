// Saves that meet other saves: a file replaced between the writer's open
// and its first look at it, host threads saving one name while others read
// it, host threads writing one file in place, names on the path swapped
// while saves walk it, and a relative link whose joined path would pass
// PATH_MAX.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "runtime/FileAccess.h"
#include "tests/support/AddressSpaceLimit.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using KVO::ImageSaver;
using testsupport::Bytes;

constexpr int kThreads = 4;

class SaveRaceTest : public testsupport::TempDirTest {
 protected:
  // Pictures big enough that a save takes many writes.
  static constexpr int kWidth = 301, kHeight = 203;

  void SetUp() override {
    TempDirTest::SetUp();
    for (int seed = 0; seed < kThreads; ++seed) {
      pictures.push_back(testsupport::MakePicture(kWidth, kHeight, 3, seed));
      const std::string path = Path("expected" + std::to_string(seed) + ".bmp");
      ASSERT_TRUE(Save(path, seed));
      expected.push_back(testsupport::ReadWholeFile(path));
      ASSERT_EQ(0, unlink(path.c_str()));
    }
  }

  bool Save(const std::string& path, int seed) const {
    return ImageSaver::StaticSaveBitmap(path.c_str(), kWidth, kHeight, 3, pictures[seed].data());
  }
  bool IsOneWholePicture(const Bytes& bytes) const {
    return std::find(expected.begin(), expected.end(), bytes) != expected.end();
  }

  std::vector<Bytes> pictures;
  std::vector<Bytes> expected;
};

// What the seam does to the name while the writer holds the file it opened.
struct Meddle {
  const char* name;
  bool moreLinks;  // the target has two more names, so it is written in place
  std::function<void(const std::string& target, const std::string& other)> act;
};

std::function<void()> meddleOnce;

void RunMeddleOnce(const char*) {
  if (meddleOnce) std::exchange(meddleOnce, nullptr)();
}

// The writer finds that the file it opened lost its name and starts again:
// the picture lands in the name and the file it let go of stays as it was
// for whoever still reads it.
TEST_F(SaveRaceTest, AFileReplacedBeforeTheWriterLooksIsLeftAsItWas) {
  const Meddle kMeddles[] = {
      {"RenamedOver", false, [](auto& t, auto& o) { ASSERT_EQ(0, rename(o.c_str(), t.c_str())); }},
      {"Removed", false, [](auto& t, auto&) { ASSERT_EQ(0, unlink(t.c_str())); }},
      {"LinkedFileRenamedOver", true,
       [](auto& t, auto& o) { ASSERT_EQ(0, rename(o.c_str(), t.c_str())); }},
  };
  for (const Meddle& meddle : kMeddles) {
    SCOPED_TRACE(meddle.name);
    const std::string folder = Path(meddle.name), target = folder + "/t.bmp",
                      other = folder + "/other", second = Path(std::string(meddle.name) + ".2");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    ASSERT_TRUE(testsupport::WriteWholeFile(target, {'o', 'l', 'd'}));
    ASSERT_TRUE(testsupport::WriteWholeFile(other, {'n', 'e', 'w'}));
    if (meddle.moreLinks) {
      ASSERT_EQ(0, link(target.c_str(), (second + "a").c_str()));
      ASSERT_EQ(0, link(target.c_str(), (second + "b").c_str()));
    }
    const int old = open(target.c_str(), O_RDONLY);
    ASSERT_NE(-1, old);
    meddleOnce = [&] { meddle.act(target, other); };
    KVO::SetReplacingFileWriterOpenHook(&RunMeddleOnce);
    const bool saved = Save(target, 1);
    KVO::SetReplacingFileWriterOpenHook(nullptr);
    EXPECT_FALSE(meddleOnce) << "the seam never ran";
    EXPECT_TRUE(saved);
    EXPECT_EQ(expected[1], testsupport::ReadWholeFile(target));
    char bytes[8] = {};
    EXPECT_EQ(3, pread(old, bytes, sizeof bytes, 0));
    EXPECT_STREQ("old", bytes);
    close(old);
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder));
  }
}

// Several host threads save one name (a single link, so each save is
// renamed into place) while others read it: every read finds one whole
// picture and every save succeeds.
TEST_F(SaveRaceTest, ThreadsSavingOneNameWhileOthersReadItLeaveWholePictures) {
  constexpr int kSavesPerThread = 60;
  const std::string target = Path("shared.bmp");
  ASSERT_TRUE(Save(target, 0));
  std::atomic<int> saving{kThreads}, failedSaves{0}, reads{0}, brokenReads{0};
  std::vector<std::thread> threads;
  for (int seed = 0; seed < kThreads; ++seed) {
    threads.emplace_back([&, seed] {
      for (int i = 0; i < kSavesPerThread; ++i) failedSaves += !Save(target, seed);
      --saving;
    });
    threads.emplace_back([&] {
      while (saving > 0) {
        ++reads;
        brokenReads += !IsOneWholePicture(testsupport::ReadWholeFile(target));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, failedSaves);
  EXPECT_EQ(0, brokenReads) << "of " << reads << " reads";
  EXPECT_TRUE(IsOneWholePicture(testsupport::ReadWholeFile(target)));
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
}

// A file with a second link is written in place; saves of it from several
// threads take turns, so each round ends with one whole picture.
TEST_F(SaveRaceTest, ThreadsWritingOneFileInPlaceNeverInterleave) {
  constexpr int kRounds = 60;
  const std::string target = Path("linked.bmp"), second = Path("second.bmp");
  ASSERT_TRUE(Save(target, 0));
  ASSERT_EQ(0, link(target.c_str(), second.c_str()));
  struct stat before = {}, after = {};
  ASSERT_EQ(0, stat(target.c_str(), &before));
  int broken = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0}, failed{0};
    std::vector<std::thread> savers;
    for (int seed = 0; seed < kThreads; ++seed) {
      savers.emplace_back([&, seed] {
        ++ready;
        while (ready < kThreads) std::this_thread::yield();
        failed += !Save(target, seed);
      });
    }
    for (auto& saver : savers) saver.join();
    ASSERT_EQ(0, failed);
    broken += !IsOneWholePicture(testsupport::ReadWholeFile(second));
  }
  EXPECT_EQ(0, broken) << "of " << kRounds << " rounds";
  ASSERT_EQ(0, stat(target.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
}

// A name on the path trades places with a link to a place just as good
// (RENAME_EXCHANGE, atomically, as another process may do) while a host
// saves through it: a folder of the path, then the last name, a file.
// Whichever the walk meets, and however often it changes under it, every
// save succeeds and leaves no temporary.
TEST_F(SaveRaceTest, SavesThroughNamesSwappedWithLinksAllSucceed) {
  constexpr int kSaves = kSanitized ? 500 : 3000;
  const Bytes small = testsupport::MakePicture(16, 16, 3);
  // A replaced file is synced first; in memory that costs nothing, so the
  // walk is most of each save.
  std::optional<testsupport::TempDir> memory;
  const char* const was = std::getenv("TMPDIR");
  const std::string tmpdir = was != nullptr ? was : "";
  setenv("TMPDIR", "/dev/shm", 1);
  memory.emplace("tolvenix");
  was != nullptr ? setenv("TMPDIR", tmpdir.c_str(), 1) : unsetenv("TMPDIR");
  const std::string root = memory->Root().empty() ? dir_.Root() : memory->Root();
  for (const bool folders : {true, false}) {
    SCOPED_TRACE(folders ? "a folder on the path" : "the last name");
    // a and l trade places; l is a link to other, a folder or file like a.
    const std::string base = root + (folders ? "folders" : "files"), a = base + "/a";
    ASSERT_EQ(0, mkdir(base.c_str(), 0755));
    for (const std::string& made : {a, base + "/other"}) {
      ASSERT_TRUE(folders ? mkdir(made.c_str(), 0755) == 0
                          : testsupport::WriteWholeFile(made, {'o', 'l', 'd'}));
    }
    ASSERT_EQ(0, symlink("other", (base + "/l").c_str()));
    const int at = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_NE(-1, at);
    const auto swap = [at] { return syscall(SYS_renameat2, at, "a", at, "l", RENAME_EXCHANGE); };
    if (swap() != 0) {
      close(at);
      GTEST_SKIP() << "the file system swaps no names";
    }
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop) {
        swap();
        // A save that renamed its file over a as the link was swapped in
        // replaced the link; bring one back so that the race goes on.
        struct stat first = {}, second = {};
        if (!folders && fstatat(at, "a", &first, AT_SYMLINK_NOFOLLOW) == 0 &&
            fstatat(at, "l", &second, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(first.st_mode) &&
            S_ISREG(second.st_mode) && symlinkat("other", at, "l.new") == 0) {
          renameat(at, "l.new", at, "l");
        }
        usleep(200);
      }
    });
    const std::string target = folders ? a + "/pic.bmp" : a;
    int failed = 0;
    for (int i = 0; i < kSaves; ++i) {
      failed += !ImageSaver::StaticSaveBitmap(target.c_str(), 16, 16, 3, small.data());
    }
    stop = true;
    swapper.join();
    close(at);
    EXPECT_EQ(0, failed) << "of " << kSaves;
    for (const std::string& folder : {base, a, base + "/l"}) {
      EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(folder)) << folder;
    }
  }
}

// A relative link whose own path is close to PATH_MAX, pointing back into its
// folder by a long name: the folder and the link's text together pass
// PATH_MAX, as they do for the kernel, which opens it.
TEST_F(SaveRaceTest, ALongRelativeLinkLandsInItsTarget) {
  const std::string top = dir_.Root() + "l";
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));
  const std::string linkPath = testsupport::DeepPath(top, 4088, 'k');
  ASSERT_EQ(4088u, linkPath.size());
  const std::string folder = linkPath.substr(0, linkPath.rfind('/'));
  const std::string targetName(150, 't');
  const std::string text = "../" + folder.substr(folder.rfind('/') + 1) + "/" + targetName;
  ASSERT_EQ(0, symlink(text.c_str(), linkPath.c_str()));
  ASSERT_GT(folder.size() + 1 + text.size(), 4096u);

  ASSERT_TRUE(Save(linkPath, 2));
  const int at = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_NE(-1, at);
  const int saved = openat(at, targetName.c_str(), O_RDONLY);
  struct stat linkStatus = {};
  EXPECT_EQ(
      0, fstatat(at, linkPath.substr(folder.size() + 1).c_str(), &linkStatus, AT_SYMLINK_NOFOLLOW));
  EXPECT_TRUE(S_ISLNK(linkStatus.st_mode));
  close(at);
  ASSERT_NE(-1, saved);
  Bytes bytes(expected[2].size() + 1);
  EXPECT_EQ(static_cast<ssize_t>(expected[2].size()), pread(saved, bytes.data(), bytes.size(), 0));
  bytes.pop_back();
  EXPECT_EQ(expected[2], bytes);
  close(saved);
}

}  // namespace
