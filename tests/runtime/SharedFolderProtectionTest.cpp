// The shared-folder rules, with the settings given directly: the machines
// that run the tests keep the kernel's own settings at whatever they are.
#include <sys/stat.h>

#include <ostream>

#include <gtest/gtest.h>

#include "runtime/SharedFolderProtection.h"

namespace {

constexpr uid_t kSaver = 1000;
constexpr uid_t kOther = 2000;
constexpr uid_t kFolderOwner = 3000;

struct RuleCase {
  const char* name;
  mode_t folderMode;  // with S_ISVTX for a sticky folder
  uid_t folderUid;
  mode_t type;  // S_IFLNK asks the link rule, any other type the file rule
  uid_t uid;
  int setting;  // the one setting the case is about; the others are 2
  bool allowed;
};

std::ostream& operator<<(std::ostream& out, const RuleCase& c) { return out << c.name; }

class SharedFolderProtectionTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(SharedFolderProtectionTest, RefusesOnlyWhatTheKernelWould) {
  const RuleCase& c = GetParam();
  struct stat folder = {}, node = {};
  folder.st_mode = S_IFDIR | c.folderMode;
  folder.st_uid = c.folderUid;
  node.st_mode = c.type | 0666;
  node.st_uid = c.uid;
  if (c.type == S_IFLNK) {
    KVO::SharedFolderProtection protection(c.setting, 2, 2);
    EXPECT_EQ(c.allowed, protection.MayFollowLink(folder, node, kSaver));
  } else {
    KVO::SharedFolderProtection protection(2, c.type == S_IFREG ? c.setting : 2,
                                           c.type == S_IFIFO ? c.setting : 2);
    EXPECT_EQ(c.allowed, protection.MayWriteExisting(folder, node, kSaver));
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, SharedFolderProtectionTest, ::testing::Values(
    // name, folder mode and owner, what is met and its owner, setting, allowed
    RuleCase{"OthersLinkInTmp", 01777, 0, S_IFLNK, kOther, 1, false},
    RuleCase{"OthersLinkInTmpUnprotected", 01777, 0, S_IFLNK, kOther, 0, true},
    RuleCase{"OwnLinkInTmp", 01777, 0, S_IFLNK, kSaver, 1, true},
    RuleCase{"FolderOwnersLink", 01777, kFolderOwner, S_IFLNK, kFolderOwner, 1, true},
    RuleCase{"OthersLinkInAFolderNotSticky", 0777, 0, S_IFLNK, kOther, 1, true},
    RuleCase{"OthersLinkInAStickyGroupFolder", 01770, 0, S_IFLNK, kOther, 1, true},
    RuleCase{"OthersFileInTmp", 01777, 0, S_IFREG, kOther, 1, false},
    RuleCase{"OthersFileInTmpUnprotected", 01777, 0, S_IFREG, kOther, 0, true},
    RuleCase{"OthersFileInTmpAtTwo", 01777, 0, S_IFREG, kOther, 2, false},
    RuleCase{"OthersFileInAStickyGroupFolderAtOne", 01770, 0, S_IFREG, kOther, 1, true},
    RuleCase{"OthersFileInAStickyGroupFolderAtTwo", 01770, 0, S_IFREG, kOther, 2, false},
    RuleCase{"OthersFileInAStickyFolderOnlyItsOwnerWrites", 01755, 0, S_IFREG, kOther, 2, true},
    RuleCase{"OthersFileInAFolderNotSticky", 0777, 0, S_IFREG, kOther, 2, true},
    RuleCase{"OwnFileInTmp", 01777, 0, S_IFREG, kSaver, 2, true},
    RuleCase{"FolderOwnersFile", 01777, kFolderOwner, S_IFREG, kFolderOwner, 2, true},
    RuleCase{"OthersFifoInTmp", 01777, 0, S_IFIFO, kOther, 1, false},
    RuleCase{"OthersFifoInTmpUnprotected", 01777, 0, S_IFIFO, kOther, 0, true},
    RuleCase{"OthersFifoInAStickyGroupFolderAtTwo", 01770, 0, S_IFIFO, kOther, 2, false},
    RuleCase{"OthersDeviceInTmp", 01777, 0, S_IFCHR, kOther, 0, false},
    RuleCase{"OthersDeviceInAStickyGroupFolder", 01770, 0, S_IFCHR, kOther, 2, true},
    RuleCase{"FolderOwnersDeviceInTmp", 01777, kFolderOwner, S_IFCHR, kFolderOwner, 2, true}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });
// clang-format on

// Each rule asks only its own setting: a FIFO is judged by fs.protected_fifos
// alone, a regular file by fs.protected_regular alone.
TEST(SharedFolderProtectionSettingsTest, EachKindOfFileIsJudgedByItsOwnSetting) {
  struct stat tmp = {}, file = {}, fifo = {};
  tmp.st_mode = S_IFDIR | 01777;
  file.st_mode = S_IFREG | 0644;
  fifo.st_mode = S_IFIFO | 0644;
  file.st_uid = fifo.st_uid = kOther;
  KVO::SharedFolderProtection regularOnly(0, 2, 0), fifosOnly(0, 0, 2);
  EXPECT_FALSE(regularOnly.MayWriteExisting(tmp, file, kSaver));
  EXPECT_TRUE(regularOnly.MayWriteExisting(tmp, fifo, kSaver));
  EXPECT_TRUE(fifosOnly.MayWriteExisting(tmp, file, kSaver));
  EXPECT_FALSE(fifosOnly.MayWriteExisting(tmp, fifo, kSaver));
}

}  // namespace
