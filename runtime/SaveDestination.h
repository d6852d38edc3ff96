#ifndef RUNTIME_SAVEDESTINATION_H_
#define RUNTIME_SAVEDESTINATION_H_

#include <sys/stat.h>

#include <string>
#include <vector>

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
// than files a user planted, the kernel follows a process's links (its
// folders, its descriptors) one name at a time, and /proc's own (self,
// thread-self) are walked by their text, until the walk leaves it; a last
// name in a folder on /proc is left to the kernel. Every link followed
// counts towards the limit of 40, as the kernel counts them: the walk's own,
// those of /proc and the descriptor a last name in /proc stands for.
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

  // Walks `path` (not null). Answers false, with errno as fopen "wb" sets
  // it, where that would fail to reach the name, or where a link is refused:
  // ENOENT (an empty path, a folder on the way missing), ENOTDIR (a name on
  // the way that is no folder, also where only "." or ".." follows it),
  // ENAMETOOLONG (a path of PATH_MAX bytes or more, refused before any name
  // is looked at; a name longer than the file system takes), EACCES (a link
  // the protection refuses, or a folder that may not be searched, also where
  // the path names a folder), ELOOP (more than 40 links), EISDIR (the path
  // ends in a name and "/", whether or not that name exists and without
  // following it, or in "." or ".." of a folder), EAGAIN (names on the way
  // kept changing kind). Only the path string is bounded by PATH_MAX, and
  // each link's text: a relative link is followed from its own folder
  // however long the path it joins would be.
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
  // Goes on from the folder, on /proc, to its folder `current` as the
  // kernel reaches it, counting in `links` the links it follows; the text
  // of a link among /proc's own names goes on `pending` instead.
  bool EnterOnProc(const std::string& current, std::vector<std::string>& pending, int& links);

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
