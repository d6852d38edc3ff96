#ifndef RUNTIME_SAVEDESTINATION_H_
#define RUNTIME_SAVEDESTINATION_H_

#include <sys/stat.h>

#include <string>

#include "runtime/SharedFolderProtection.h"

namespace KVO {

// Where a save's path leads: the folder that holds the name finally written
// (open, so that everything after the walk happens in that very folder) and
// that name, which is never a symbolic link when it exists.
//
// A path with no symbolic link on the way is resolved in one call where the
// kernel can (openat2 refusing links, Linux 5.6 and later); otherwise, or
// where that call refuses, the path is walked one name at a time, from the
// working folder or the root. Symbolic links are followed by the walk itself
// (a relative one from the folder it sits in, so no joined path ever grows
// past PATH_MAX), and each one, on a folder of the path or as the last name,
// must pass the shared-folder link protection first. A link whose target does
// not exist leads to that target's name, which a save then creates, as fopen
// would. Inside /proc, whose links stand for descriptors and processes rather
// than files a user planted, the kernel follows the links (one name at a
// time) until the walk leaves it; a last name in a folder on /proc is left to
// the kernel.
//
// A name on the path that changes kind between the walk's look and its
// open (a folder swapped with a link, a link with a file) is looked at
// again; a walk that keeps meeting such changes gives up after 100 looks
// with EAGAIN.
//
// One object serves one save, on one thread; a second Walk starts afresh.
class SaveDestination {
 public:
  SaveDestination() = default;
  SaveDestination(const SaveDestination&) = delete;
  SaveDestination& operator=(const SaveDestination&) = delete;
  // Closes the folder.
  ~SaveDestination();

  // Walks `path` (not null, not empty). Answers false, with errno, where
  // fopen "wb" would fail to reach the name or where a link is refused:
  // EACCES (a link the protection refuses, or a folder that may not be
  // searched), ENOENT or ENOTDIR (a folder on the way missing or not a
  // folder), ELOOP (more than 40 links), EISDIR (the path names a folder:
  // it ends in "/", "." or "..", whether or not that folder exists),
  // EAGAIN (names on the way kept changing kind).
  bool Walk(const char* path, SharedFolderProtection& protection);

  // After a successful Walk that did not stop at /proc:
  // the folder, open with O_PATH, owned by this object;
  int Folder() const { return folder; }
  // its status (looked up when first asked for; where that fails, a
  // sticky world-writable folder of nobody's, which the shared-folder
  // rules treat most strictly);
  const struct stat& FolderStatus();
  // whether the folder is marked append-only or immutable, so that no name
  // in it can be removed or replaced (read when first asked for);
  bool FolderKeepsNames();
  // the name in it;
  const std::string& Name() const { return name; }
  // whether a file has that name, and its status (lstat) when one has.
  bool Exists() const { return exists; }
  const struct stat& Status() const { return status; }

  // Whether the last name lies in a folder on /proc. Then only
  // OwnDescriptor() means anything: the process's own descriptor that the
  // path names (/dev/fd/N, /proc/self/fd/N, however reached), or -1; the
  // walk holds no folder open.
  bool ThroughProc() const { return throughProc; }
  int OwnDescriptor() const { return descriptor; }

 private:
  void Reset();
  // Resolves a path without links in one call; answers false, with nothing
  // found, where the name-by-name walk must decide.
  bool Resolve(const char* path);
  // Makes `next` the folder walked from (closing the previous one).
  bool Enter(int next);

  int folder = -1;
  bool folderKnown = false;  // whether folderStatus is the folder's
  struct stat folderStatus = {};
  int keepsNames = -1;  // FolderKeepsNames(); -1: not read yet
  std::string name;
  bool exists = false;
  struct stat status = {};
  bool throughProc = false;
  int descriptor = -1;
};

}  // namespace KVO

#endif  // RUNTIME_SAVEDESTINATION_H_
