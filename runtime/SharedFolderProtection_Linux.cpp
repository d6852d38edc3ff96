#include "runtime/SharedFolderProtection.h"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <cstdlib>

namespace KVO {

namespace {

// The setting's value, or 1 (what distributions set, and the safe side)
// where it cannot be read: a /proc that is not mounted, or hidden from a
// sandboxed process.
int ReadSetting(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return 1;
  char text[16] = {};
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return 1;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || value < 0 || value > 2) return 1;
  return static_cast<int>(value);
}

bool Sticky(const struct stat& folder) { return (folder.st_mode & S_ISVTX) != 0; }

}  // namespace

SharedFolderProtection::SharedFolderProtection(int protectedSymlinks, int protectedRegular,
                                               int protectedFifos)
    : values{protectedSymlinks, protectedRegular, protectedFifos} {}

int SharedFolderProtection::Get(Setting which) {
  static const char* const kPaths[kSettings] = {"/proc/sys/fs/protected_symlinks",
                                                "/proc/sys/fs/protected_regular",
                                                "/proc/sys/fs/protected_fifos"};
  if (values[which] < 0) values[which] = ReadSetting(kPaths[which]);
  return values[which];
}

uid_t SharedFolderProtection::FilesystemUser() {
  // An id that cannot be set changes nothing, and the call answers the
  // current one.
  return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
}

bool SharedFolderProtection::MayFollowLink(const struct stat& folder, const struct stat& link,
                                           uid_t fsuid) {
  // The order of the tests keeps the setting unread wherever it could not
  // change the answer.
  if (link.st_uid == fsuid || link.st_uid == folder.st_uid) return true;
  if (!Sticky(folder) || (folder.st_mode & S_IWOTH) == 0) return true;
  return Get(kSymlinks) == 0;
}

bool SharedFolderProtection::MayWriteExisting(const struct stat& folder, const struct stat& file,
                                              uid_t fsuid) {
  if (!Sticky(folder) || file.st_uid == fsuid || file.st_uid == folder.st_uid) return true;
  const bool worldWritable = (folder.st_mode & S_IWOTH) != 0;
  const bool regular = S_ISREG(file.st_mode);
  // The kernel refuses any other kind of file (a device, a socket) there
  // whatever the settings say.
  if (!regular && !S_ISFIFO(file.st_mode)) return !worldWritable;
  const bool groupWritable = (folder.st_mode & S_IWGRP) != 0;
  if (!worldWritable && !groupWritable) return true;
  const int setting = Get(regular ? kRegular : kFifos);
  return worldWritable ? setting == 0 : setting < 2;
}

}  // namespace KVO
