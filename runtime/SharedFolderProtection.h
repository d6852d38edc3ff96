#ifndef RUNTIME_SHAREDFOLDERPROTECTION_H_
#define RUNTIME_SHAREDFOLDERPROTECTION_H_

#include <sys/stat.h>
#include <sys/types.h>

namespace KVO {

// The kernel's protections against links and files that another user
// planted in a shared folder (fs.protected_symlinks, fs.protected_regular,
// fs.protected_fifos), for a save that walks its path itself and so never
// lets the kernel apply them. A "shared" folder here is a sticky one that
// others may write: world-writable, or for the level-2 settings also
// group-writable.
//
// Each setting is read from /proc/sys/fs the first time a rule needs it and
// kept for the object's life, so a save sees the settings as they stand
// when it runs and a save that meets no link and no sticky folder reads
// none. A setting that cannot be read counts as 1. One object serves one
// save, on one thread.
class SharedFolderProtection {
 public:
  // Reads the settings when first needed.
  SharedFolderProtection() = default;
  // Fixed settings, read from nowhere.
  SharedFolderProtection(int protectedSymlinks, int protectedRegular, int protectedFifos);

  // Whether a symbolic link `link` (its lstat) in `folder` may be followed by
  // a process whose filesystem user is `fsuid`: refused only with
  // fs.protected_symlinks at 1 or more, in a sticky world-writable folder,
  // for a link owned by neither `fsuid` nor the folder's owner.
  bool MayFollowLink(const struct stat& folder, const struct stat& link, uid_t fsuid);

  // Whether the existing `file` in `folder` may be opened for writing as
  // fopen "wb" (which creates) would open it. Refused only in a sticky
  // folder, for a file owned by neither `fsuid` nor the folder's owner: a
  // regular file (fs.protected_regular) or a FIFO (fs.protected_fifos)
  // where the folder is world-writable and the setting at least 1, or
  // group-writable and the setting 2; any other kind of file (a device, a
  // socket) where the folder is world-writable, whatever the settings. A
  // name not yet taken is always allowed.
  bool MayWriteExisting(const struct stat& folder, const struct stat& file, uid_t fsuid);

  // The filesystem user id of the calling thread, which the kernel compares.
  static uid_t FilesystemUser();

 private:
  enum Setting { kSymlinks, kRegular, kFifos, kSettings };
  int Get(Setting which);

  int values[kSettings] = {-1, -1, -1};  // -1: not read yet
};

}  // namespace KVO

#endif  // RUNTIME_SHAREDFOLDERPROTECTION_H_
