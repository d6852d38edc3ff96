// Saves into a sticky, world-writable folder like /tmp, where another user
// planted a link or a file first, under each of the kernel's shared-folder
// settings. The settings are the machine's, so each save runs in a forked
// child with a private mount namespace in which files holding the wanted
// values are mounted over /proc/sys/fs/protected_*. That takes root; without
// it the tests skip.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::Bytes;

constexpr int kWidth = 35, kHeight = 39;
constexpr uid_t kPlanter = 54323;  // the other local user
constexpr uid_t kSharer = 54321;   // owns a shared folder
constexpr int kCannotSetUp = 42;

struct Settings {
  int symlinks, regular, fifos;
};

// Runs `save` in a child that sees `settings` (a negative value: a setting
// that cannot be read); answers the child's exit code: 0 saved, 1 refused,
// kCannotSetUp where the namespace or the mounts could not be made.
int SaveUnder(const std::string& scratch, const Settings& settings,
              const std::function<bool()>& save) {
  const pid_t child = fork();
  if (child == 0) {
    if (!testsupport::SeeProtectionSettings(scratch, settings.symlinks, settings.regular,
                                            settings.fifos)) {
      testsupport::ExitChild(kCannotSetUp);
    }
    testsupport::ExitChild(save() ? 0 : 1);
  }
  return testsupport::WaitForExit(child);
}

// One layout: a shared folder (tmp/), a private folder of the saver's
// (home/) with a file of its own, and what the row planted in tmp/.
struct Layout {
  std::string tmp, home, own;
};

struct PlantedCase {
  const char* name;
  uid_t tmpOwner;
  mode_t tmpMode;
  // Plants what the row is about; answers the name the host saves to.
  std::function<std::string(const Layout&)> plant;
  // The settings of the first run, which refuses the save where `refused`;
  // the second runs with every setting at 0.
  Settings on;
  bool refused;
  // Where the picture lands when the save goes through.
  std::function<std::string(const Layout&)> landsIn;
};

std::ostream& operator<<(std::ostream& out, const PlantedCase& c) { return out << c.name; }

std::string PlantLink(const std::string& target, const std::string& at, uid_t owner) {
  if (symlink(target.c_str(), at.c_str()) != 0 || lchown(at.c_str(), owner, owner) != 0) return "";
  return at;
}

std::string PlantFile(const std::string& at, uid_t owner, mode_t mode) {
  if (!testsupport::WriteWholeFile(at, {'p', 'l', 'a', 'n', 't', 'e', 'd'}) ||
      chown(at.c_str(), owner, owner) != 0 || chmod(at.c_str(), mode) != 0) {
    return "";
  }
  return at;
}

class SharedFolderFixture : public testsupport::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "only root can mount over /proc/sys/fs";
    expected = Path("expected.bmp");
    ASSERT_TRUE(Save(expected));
  }

  bool Save(const std::string& name) const {
    return KVO::ImageSaver::StaticSaveBitmap(name.c_str(), kWidth, kHeight, 3, picture.data());
  }

  // A fresh layout under `run`, its shared folder of `tmpOwner` and `tmpMode`.
  Layout Make(const std::string& run, uid_t tmpOwner, mode_t tmpMode) {
    Layout layout{Path(run + "/tmp"), Path(run + "/home"), Path(run + "/home/own.bmp")};
    EXPECT_EQ(0, mkdir(Path(run).c_str(), 0755));
    EXPECT_EQ(0, mkdir(layout.tmp.c_str(), 0700));
    EXPECT_EQ(0, chown(layout.tmp.c_str(), tmpOwner, tmpOwner));
    EXPECT_EQ(0, chmod(layout.tmp.c_str(), tmpMode));
    EXPECT_EQ(0, mkdir(layout.home.c_str(), 0755));
    EXPECT_TRUE(testsupport::WriteWholeFile(layout.own, {'o', 'w', 'n'}));
    return layout;
  }

  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 3);
  std::string expected;
};

class SharedFolderSaveTest : public SharedFolderFixture,
                             public ::testing::WithParamInterface<PlantedCase> {};

// Refused with the setting on: every file as it was and no temporary left.
// Saved with it off: the picture where fopen "wb" would have put it.
TEST_P(SharedFolderSaveTest, IsRefusedWithTheSettingOnAndSavedWithItOff) {
  const PlantedCase& c = GetParam();
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "setting on" : "setting off");
    const Layout layout = Make(on ? "on" : "off", c.tmpOwner, c.tmpMode);
    const std::string name = c.plant(layout);
    ASSERT_FALSE(name.empty());
    const std::string lands = c.landsIn(layout);
    const Bytes before = testsupport::ReadWholeFile(lands);
    struct stat planted = {};
    const bool existed = lstat(name.c_str(), &planted) == 0;
    const int result =
        SaveUnder(dir_.Root(), on ? c.on : Settings{0, 0, 0}, [&] { return Save(name); });
    if (result == kCannotSetUp) GTEST_SKIP() << "no private mount namespace here";
    if (on && c.refused) {
      EXPECT_EQ(1, result);
      EXPECT_EQ(before, testsupport::ReadWholeFile(lands));
      EXPECT_EQ(before.empty(), !testsupport::Exists(lands));
    } else {
      EXPECT_EQ(0, result);
      EXPECT_EQ(testsupport::ReadWholeFile(expected), testsupport::ReadWholeFile(lands));
    }
    struct stat after = {};
    if (existed) {
      ASSERT_EQ(0, lstat(name.c_str(), &after));
      EXPECT_EQ(planted.st_mode & S_IFMT, after.st_mode & S_IFMT);
      EXPECT_EQ(planted.st_uid, after.st_uid) << "whose file it is stays";
    }
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(layout.tmp));
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(layout.home));
  }
}

const auto kInTmp = [](const char* leaf) {
  return [leaf](const Layout& l) { return l.tmp + "/" + leaf; };
};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SharedFolderSaveTest, ::testing::Values(
    PlantedCase{"OthersLinkToTheSaversFile", 0, 01777,
        [](const Layout& l) { return PlantLink(l.own, l.tmp + "/frame.bmp", kPlanter); },
        {1, 0, 0}, true, [](const Layout& l) { return l.own; }},
    PlantedCase{"OthersLinkOnAFolderOfThePath", 0, 01777,
        [](const Layout& l) {
          return PlantLink(l.home, l.tmp + "/d", kPlanter).empty() ? "" : l.tmp + "/d/frame.bmp";
        },
        {1, 0, 0}, true, [](const Layout& l) { return l.home + "/frame.bmp"; }},
    PlantedCase{"FolderOwnersLink", kSharer, 01777,
        [](const Layout& l) { return PlantLink(l.own, l.tmp + "/frame.bmp", kSharer); },
        {1, 2, 2}, false, [](const Layout& l) { return l.own; }},
    PlantedCase{"SaversOwnLink", 0, 01777,
        [](const Layout& l) { return PlantLink(l.own, l.tmp + "/frame.bmp", geteuid()); },
        {1, 2, 2}, false, [](const Layout& l) { return l.own; }},
    PlantedCase{"OthersFileInTmp", 0, 01777,
        [](const Layout& l) { return PlantFile(l.tmp + "/frame.bmp", kPlanter, 0666); },
        {0, 1, 0}, true, kInTmp("frame.bmp")},
    PlantedCase{"OthersFileInAStickyGroupFolder", 0, 01770,
        [](const Layout& l) { return PlantFile(l.tmp + "/frame.bmp", kPlanter, 0666); },
        {0, 2, 0}, true, kInTmp("frame.bmp")},
    PlantedCase{"FolderOwnersFile", kSharer, 01777,
        [](const Layout& l) { return PlantFile(l.tmp + "/frame.bmp", kSharer, 0666); },
        {1, 2, 2}, false, kInTmp("frame.bmp")},
    PlantedCase{"NewFile", 0, 01777,
        [](const Layout& l) { return PlantFile(l.tmp + "/other.bmp", kPlanter, 0666).empty()
                                         ? "" : l.tmp + "/new.bmp"; },
        {1, 2, 2}, false, kInTmp("new.bmp")}),
    [](const ::testing::TestParamInfo<PlantedCase>& info) { return std::string(info.param.name); });
// clang-format on

// A FIFO that another user planted, with a reader waiting on it: the reader
// gets nothing where fs.protected_fifos refuses it, the picture otherwise.
TEST_F(SharedFolderFixture, APlantedFifoIsRefusedWithTheSettingOnAndWrittenWithItOff) {
  const Bytes whole = testsupport::ReadWholeFile(expected);
  for (const int setting : {1, 0}) {
    SCOPED_TRACE(setting);
    const Layout layout = Make("fifo" + std::to_string(setting), 0, 01777);
    const std::string name = layout.tmp + "/frame.bmp";
    ASSERT_EQ(0, mkfifo(name.c_str(), 0666));
    ASSERT_EQ(0, chown(name.c_str(), kPlanter, kPlanter));
    const int result = SaveUnder(dir_.Root(), {0, 0, setting}, [&] {
      const int reader = open(name.c_str(), O_RDONLY | O_NONBLOCK);
      const bool saved = reader != -1 && Save(name);
      Bytes got(whole.size() + 1);
      const ssize_t size = read(reader, got.data(), got.size());
      got.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
      return saved == (got == whole) && saved == (setting == 0);
    });
    if (result == kCannotSetUp) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, result);
    EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(layout.tmp));
  }
}

// A setting that cannot be read counts as 1.
TEST_F(SharedFolderFixture, ASettingThatCannotBeReadCountsAsOne) {
  const Layout layout = Make("unreadable", 0, 01777);
  const std::string name = PlantFile(layout.tmp + "/frame.bmp", kPlanter, 0666);
  ASSERT_FALSE(name.empty());
  const int result = SaveUnder(dir_.Root(), {0, -1, 0}, [&] { return Save(name); });
  if (result == kCannotSetUp) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(1, result);
  EXPECT_EQ(Bytes({'p', 'l', 'a', 'n', 't', 'e', 'd'}), testsupport::ReadWholeFile(name));
}

}  // namespace
