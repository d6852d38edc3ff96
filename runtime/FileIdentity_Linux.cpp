#include "runtime/FileIdentity.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace KVO {

namespace {

// The inode flags a user may set (no-dump, no-atime, synchronous writes,
// compression...), which a file truncated by fopen keeps. Append-only and
// immutable files are not opened for writing at all.
constexpr int kUserFlags =
    (FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_NOCOMP_FL) & ~(FS_APPEND_FL | FS_IMMUTABLE_FL);

// What a file keeps beyond its inode flags and fopen keeps with it: the
// file system's own flags (a realtime file, an extent size hint and a
// copy-on-write one, no-defrag, filestream, DAX), the hints' sizes and the
// project whose quota the file counts against. The flags shared with the
// inode flags are CopyInodeFlags' to keep; a mark of space preallocated or
// of attributes present says what the file holds, not how it is kept.
constexpr unsigned int kKeptXflags = FS_XFLAG_REALTIME | FS_XFLAG_EXTSIZE | FS_XFLAG_NODEFRAG |
                                     FS_XFLAG_FILESTREAM | FS_XFLAG_DAX | FS_XFLAG_COWEXTSIZE;

}  // namespace

// The security label is left out: a file created in the folder gets its own.
bool CarriesAttributes(int fd) {
  char names[4096];
  const ssize_t size = ::flistxattr(fd, names, sizeof names);
  if (size < 0) return errno == ERANGE;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    if (std::strcmp(names + at, "security.selinux") != 0) return true;
  }
  return false;
}

// A new file takes its folder's flags on some file systems instead.
bool CopyInodeFlags(int target, int created) {
  int wanted = 0;
  // A file system without flags has nothing to keep.
  if (::ioctl(target, FS_IOC_GETFLAGS, &wanted) != 0) return true;
  int have = 0;
  if (::ioctl(created, FS_IOC_GETFLAGS, &have) != 0) return (wanted & kUserFlags) == 0;
  if ((have & kUserFlags) == (wanted & kUserFlags)) return true;
  int flags = (have & ~kUserFlags) | (wanted & kUserFlags);
  return ::ioctl(created, FS_IOC_SETFLAGS, &flags) == 0;
}

bool SameKeptAttributes(const fsxattr& a, const fsxattr& b) {
  return (a.fsx_xflags & kKeptXflags) == (b.fsx_xflags & kKeptXflags) &&
         a.fsx_extsize == b.fsx_extsize && a.fsx_cowextsize == b.fsx_cowextsize &&
         a.fsx_projid == b.fsx_projid;
}

// The kernel refuses to link or rename a file of another project into such
// a folder (EXDEV). A folder whose attributes cannot be read counts as one.
bool FolderFixesProject(int folder) {
  const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  fsxattr attributes{};
  const bool read = fd != -1 && ::ioctl(fd, FS_IOC_FSGETXATTR, &attributes) == 0;
  if (fd != -1) ::close(fd);
  return !read || (attributes.fsx_xflags & FS_XFLAG_PROJINHERIT) != 0;
}

// A new file takes its folder's project and hints on some file systems, so
// they are set where they differ; and read back, as a file system may take
// a setting without keeping all of it. The kernel refuses an extent size
// hint or the realtime flag on a file that holds data, and a project to a
// process in a user namespace: all of which answer false.
bool CopyFileSystemAttributes(int folder, int target, int created) {
  fsxattr wanted{};
  // A file system without these attributes has none to keep.
  if (::ioctl(target, FS_IOC_FSGETXATTR, &wanted) != 0) return true;
  fsxattr have{};
  if (::ioctl(created, FS_IOC_FSGETXATTR, &have) != 0) return false;
  if (SameKeptAttributes(have, wanted)) return true;
  fsxattr set = have;
  set.fsx_xflags = (have.fsx_xflags & ~kKeptXflags) | (wanted.fsx_xflags & kKeptXflags);
  set.fsx_extsize = wanted.fsx_extsize;
  set.fsx_cowextsize = wanted.fsx_cowextsize;
  set.fsx_projid = wanted.fsx_projid;
  if (set.fsx_projid != have.fsx_projid && FolderFixesProject(folder)) return false;
  return ::ioctl(created, FS_IOC_FSSETXATTR, &set) == 0 &&
         ::ioctl(created, FS_IOC_FSGETXATTR, &have) == 0 && SameKeptAttributes(have, wanted);
}

// A made file has the folder's group where the folder is set-group-id, so
// the ids are compared rather than assumed; and it refuses where it carries
// what the folder gives a new file (a default access list), which the
// target may not have. The mode, flags and attributes are set while the
// file is still the process's own, and the mode set again where giving the
// file away cleared its set-id bits.
bool TakeOnIdentity(int folder, int target, const struct stat& existing, int file) {
  const mode_t mode = existing.st_mode & 07777;
  struct stat made;
  bool taken = !CarriesAttributes(file) && CopyInodeFlags(target, file) &&
               CopyFileSystemAttributes(folder, target, file) && ::fstat(file, &made) == 0 &&
               ((made.st_mode & 07777) == mode || ::fchmod(file, mode) == 0);
  if (taken && (made.st_uid != existing.st_uid || made.st_gid != existing.st_gid)) {
    taken = ::fchown(file, existing.st_uid, existing.st_gid) == 0 && ::fstat(file, &made) == 0 &&
            ((made.st_mode & 07777) == mode || ::fchmod(file, mode) == 0);
  }
  return taken;
}

}  // namespace KVO
