#ifndef RUNTIME_FILEIDENTITY_H_
#define RUNTIME_FILEIDENTITY_H_

#include <linux/fs.h>
#include <sys/stat.h>

namespace KVO {

// What makes a file the file it is beyond its bytes, and the giving of it to
// a file made to replace another: extended attributes, inode flags, the file
// system's own attributes, mode, owner and group. Every descriptor here is
// open on a file (not O_PATH), but for a `folder`, which may be O_PATH. None
// of these holds a lock or keeps state: any thread. A false answer promises
// no errno.

// Whether the open file `fd` carries extended attributes other than its
// security label (an access list, file capabilities, a user's tags) that a
// new file would come without; also true where there are more names than
// fit in 4096 bytes. Changes nothing.
bool CarriesAttributes(int fd);

// Gives `created` the inode flags a user may set (no-dump, no-atime,
// synchronous writes, compression, no copy-on-write; never append-only or
// immutable) that `target` has, leaving its other flags; answers whether
// they now match. True where `target`'s file system has no flags; where
// `created`'s cannot be read, true only if `target` has none to give.
bool CopyInodeFlags(int target, int created);

// Whether `a` and `b` agree on what a file keeps of the file system's own
// attributes: the flags realtime, extent size hint, copy-on-write extent
// size hint, no-defrag, filestream and DAX, both hints' sizes and the
// project id. Other flags are not compared.
bool SameKeptAttributes(const fsxattr& a, const fsxattr& b);

// Whether every file in `folder` must be of the folder's project (the
// folder passes its project to what is made in it); also true where its
// attributes cannot be read. Opens the folder for the look and closes it;
// changes nothing.
bool FolderFixesProject(int folder);

// Gives `created`, made by this process in `folder`, the attributes of
// `target` that SameKeptAttributes compares, where they differ, and reads
// them back; answers whether they now match. True where `target`'s file
// system has no such attributes. False where `created`'s cannot be read,
// where the kernel refuses a setting or keeps only part of it, and,
// changing nothing, where the project differs and `folder` fixes projects
// (FolderFixesProject).
bool CopyFileSystemAttributes(int folder, int target, int created);

// Gives `file`, made by this process in `folder`, the inode flags, file
// system attributes, permission bits (07777), owner and group of the
// existing `target`, whose status is `existing`; answers whether all of
// that took. False at once where `file` carries extended attributes
// (CarriesAttributes); false where it holds data and `target` has an
// extent size hint or is a realtime file. What was given before a step
// failed stays given.
bool TakeOnIdentity(int folder, int target, const struct stat& existing, int file);

}  // namespace KVO

#endif  // RUNTIME_FILEIDENTITY_H_
