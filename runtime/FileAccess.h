#ifndef RUNTIME_FILEACCESS_H_
#define RUNTIME_FILEACCESS_H_

#include <cstdio>
#include <string>

#include "runtime/FileWriteLock.h"
#include "runtime/SaveDestination.h"

namespace KVO {

// Opens `path` for reading ("rb") without ever blocking, and only when it
// names a regular file (symbolic links followed): a FIFO, directory, device
// or socket answers null before a byte is read, with errno EINVAL; a path
// that does not open answers null with the open's errno. The caller owns
// the stream and closes it with fclose. The descriptor is close-on-exec.
// Any thread.
std::FILE* OpenRegularFileForReading(const char* path);

// Creates or truncates `path` for writing ("wb") without ever blocking: a
// FIFO that no process reads answers null at once, a directory null. A FIFO
// with a reader and a device (/dev/null, /dev/full) are opened and later
// written as usual (blocking). The caller owns the stream. Any thread.
std::FILE* OpenForWritingInPlace(const char* path);

// A save that never loses the file it replaces and never changes whose file
// it is. Open walks the path itself (see SaveDestination: symbolic links are
// followed, a relative one from its own folder, and the link itself stays)
// and picks one of three ways to write the target. Everything after the
// walk happens in the folder it found, whatever is renamed on the way.
//
// Where the kernel's shared-folder protections would refuse fopen "wb" under
// the settings as they stand (see SharedFolderProtection), the save is
// refused too: a link that another user planted in a sticky, world-writable
// folder (as the last name or on a folder of the path), and another user's
// regular file or FIFO in a sticky folder that others may write.
//
// A target that is replaced or removed between Open's open and its first
// look at the file (another save renaming its finished file over the name)
// is opened again by name, up to 100 times, so a save never writes into a
// file that no name leads to.
//
// Aside, then named: the stream writes a file made in the target's folder
// without a name (O_TMPFILE); Finish flushes and closes it with every
// result checked and only then names it: a new name by linking it there
// (see below where the name was taken meanwhile), an existing
// file by linking it under a unique hidden name and at once renaming that
// over the target. So a failed save leaves an existing file byte for byte,
// and neither a failed save nor a process killed midway leaves a temporary
// behind (but for the instant between that link and the rename). Where the
// file system has no unnamed files, or the process cannot name one
// (without /proc, on a kernel before 6.10, for a process that may not read
// every file), the file is made under the hidden name from the start
// instead, and a new name is given by renaming it without replacing (or,
// where the file system cannot, linking it and removing the hidden name).
// Taken only where the rename changes nothing but the bytes:
//   - a name not yet taken: the new file gets 0666 less the umask, as fopen
//     gives, and is not synced (no old file needs protecting);
//   - a regular file with a single link, in a folder not marked
//     append-only or immutable (a hidden name could never be removed from
//     it), with no extended attribute but its security label (nor one that
//     the folder gives a new file: a default access list), inode flags
//     (no-dump, no-atime, synchronous writes...) and file system attributes
//     (a project id, extent size hints, no-defrag, filestream, DAX) that
//     the new file, while still empty, can be given, and an owner and
//     group that can be restored, which
//     means: the temporary, once created, has both of the target's ids
//     already, or an fchown of the temporary to both succeeds (for a
//     privileged process always; otherwise only when the owner is the
//     saver and the group one of its groups). The temporary takes the
//     target's permission bits and is synced before the rename, so a crash
//     leaves one version whole.
//
// In place, as a plain fopen "wb" would (truncated, then written; the file
// keeps its inode, links, mode, owner, group and extended attributes; a
// failed save leaves what was written). Saves of one file in place by this
// process run one after another (see FileWriteLock), so the file always
// ends as one whole picture; a reader that meets one midway may still read
// a part:
//   - a device, or a FIFO with a reader;
//   - a regular file with more than one link, with extended attributes
//     other than its security label (an access list, file capabilities,
//     a user's tags: a new file would come without them), in a folder
//     whose default access list a new file would take, or whose owner
//     or group cannot be restored (a file shared through its group, another
//     user's file in a sticky folder), or whose inode flags or attributes a
//     new file cannot be given (a project other than the one its folder
//     gives every file in it; any project, to a process outside the first
//     user namespace). Where only the group could be given to a new file,
//     writing in place keeps the group and the owner both;
//   - an existing file in a folder marked append-only or immutable, and a
//     new name there where the file must be made under a hidden name (it
//     is then created directly);
//   - a name reached through /proc: the path or any link on the way lies in
//     /proc, as /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N do
//     (but see the process's own descriptors below);
//   - a file whose file aside cannot be created for lack of permission
//     (EACCES, EPERM: a folder the process may not write) or because its
//     hidden name is too long (ENAMETOOLONG);
//   - a file whose rename Finish finds refused (EPERM, EACCES: a sticky
//     folder; EBUSY: a file mounted over), and a name taken meanwhile in an
//     append-only folder. The finished file is then copied into the target
//     and its hidden name removed, so the picture is written once more and
//     no temporary stays. Room for it is taken first (where the
//     file system can), so a full disk fails the save with the target's
//     old bytes whole; a copy failing part way for another reason leaves
//     what arrived, as any write in place does.
//
// Through the descriptor itself: a name that stands for one of the
// process's own descriptors (/dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N) open for writing is written through a duplicate of that
// descriptor, from where it stands and without truncating, so what the
// process wrote to it before and writes after stays in order around the
// picture. (Reopening the name would truncate a file and write from its
// start, under what the descriptor writes next.) Writes wait for room as a
// reopened name's would, also where the descriptor is set not to block
// (O_NONBLOCK, which the duplicate shares). That stream cannot seek away
// from where it stands: a rewind before the first byte moves nothing.
// A descriptor open only for reading is treated like any other name in
// /proc.
//
// A new name that another file takes while the save runs is met when
// Finish names the file, on either way of making it: that file is treated
// as one found at Open, so it is refused where Open would refuse it (EACCES:
// a file the saver may not write, or one the shared-folder protections keep
// from it; it stays as it was), replaced by the finished file where that
// changes nothing but the bytes (the file is synced first), and else
// written in place by copying the finished file into it (a link, or a file
// that is not a regular one, is replaced). Where that name is gone again,
// or leads to yet another file, before a byte of it is written, the naming
// starts over, up to 100 times (then EAGAIN). On a file system that can
// neither rename without replacing nor link, the name is looked at just
// before the rename, which still replaces a file made in that instant.
//
// Watchers of the folder (inotify) hear of every save as of fopen's: a
// close-after-write event under the name, once the whole picture is there
// to read. A file made without a name is, for that, opened for writing once
// more by name after it is named (not following a link nor waiting; only
// where the name still leads to it) and closed at once; where its mode
// denies the saver writing, its owner's write bit is lent for that instant.
//
// A regular file under a lease is opened once its holder gave the lease up,
// as fopen waits; a FIFO is never waited on.
//
// Refused at Open (null, with errno; nothing created or changed): a FIFO or
// pipe without a reader, a directory, a socket (ENXIO, also as one of the
// process's own descriptors), an existing file the process may not write,
// a link or file the shared-folder protections refuse (EACCES), a target
// replaced 100 times over while it was being opened, or names on its path
// that kept changing kind (EAGAIN), and a file aside that cannot be made
// for any other reason (a full disk, for example).
//
// A path the kernel refuses is refused at Open too, before anything is
// made, with fopen's errno: an empty path (ENOENT), one of PATH_MAX bytes
// or more (ENAMETOOLONG), more than 40 links, /proc's own counted (ELOOP);
// see SaveDestination::Walk.
//
// One object serves one save, on one thread.
class ReplacingFileWriter {
 public:
  ReplacingFileWriter() = default;
  ReplacingFileWriter(const ReplacingFileWriter&) = delete;
  ReplacingFileWriter& operator=(const ReplacingFileWriter&) = delete;
  // Removes a temporary that Finish did not put in place.
  ~ReplacingFileWriter();

  // Answers the stream to write ("wb", positioned at 0; on the process's
  // own descriptor, where that stands), or null on refusal.
  // The caller owns the stream until it hands it to Finish (or closes it
  // itself, which abandons the save). A second Open answers null.
  std::FILE* Open(const char* path);

  // Closes `stream` (the one Open answered; null counts as a failed write).
  // With `written` true, flushes and closes with every result checked and
  // then puts the file in place; answers whether all of that succeeded,
  // with errno where not (EACCES: a file that took the name meanwhile and
  // may not be written).
  // With `written` false the save is abandoned: a temporary is removed, an
  // in-place file keeps what was written; answers false.
  bool Finish(std::FILE* stream, bool written);

 private:
  // One attempt at opening the walked destination; sets `again` where the
  // name changed under it and the whole Open starts over.
  std::FILE* OpenDestination(SharedFolderProtection& protection, bool& again);
  // Opens the existing file under the name, which was `seen` there, for
  // writing without changing it, where the shared-folder rules allow, and
  // answers it with its `status`; -1 with errno on refusal, or with `again`
  // set where the name no longer leads to that file.
  int OpenExisting(SharedFolderProtection& protection, const struct stat& seen, struct stat& status,
                   bool& again);
  std::FILE* OpenNewFile(bool& again);
  // Truncates the existing file `fd` (of `status`) for writing in place,
  // holding its write lock; sets `again` where it was replaced meanwhile.
  std::FILE* OpenInPlace(int fd, const struct stat& status, bool& again);
  // Truncates `fd`, whose write lock is held, and answers its stream; on
  // failure gives the lock back and closes `fd`.
  std::FILE* TruncateHeld(int fd);
  // Opens a name in /proc the way fopen "wb" does, as the kernel resolves
  // it, holding a regular file's write lock before truncating it.
  std::FILE* OpenNamedInPlace(const char* path);
  // Whether the existing regular file `fd` (of `status`) may be replaced by
  // a new one: a single link, no extended attribute a new file would lack,
  // and a folder that lets a name be replaced.
  bool MayReplace(int fd, const struct stat& status);
  enum class Aside { Made, InPlace, Refused };
  // Creates the file that is to replace the existing `target` (of
  // `existing`) and gives it the target's ids, mode, inode flags and
  // attributes; InPlace where it cannot be made for want of permission or
  // name length, or cannot take all of that (the file is then gone again).
  Aside CreateReplacement(int target, const struct stat& existing);
  // Removes the file made aside before its stream was made.
  void DropAside();
  // For a new name taken by another file while this save ran: opens that
  // file into `kept` as Open opens one it finds, and answers Made where the
  // finished file `finished` now has its ids, mode, flags and attributes and may replace
  // it, InPlace where it must be copied into it instead (more links,
  // extended attributes, ids or attributes that cannot be given: a file
  // holding data takes no extent size hint), Refused with errno where Open
  // would refuse it or on failure; sets `again` where the name no longer
  // leads to the file found.
  Aside MatchTakenName(int finished, bool& again);
  // Puts the finished file `finished` (the file made aside, still open) in
  // place under the name; answers whether it got there.
  bool Publish(int finished);
  // Gives `finished` the name where no file has it; fails with EEXIST where
  // one has.
  bool NameUnlessTaken(int finished);
  // Renames `finished` over the name, through a hidden name where it has
  // none; answers whether it got there, else errno.
  bool Replace(int finished);
  // Copies the finished file `from` into `kept` in place and closes it;
  // answers whether every byte arrived. Sets `again` where `kept` lost the
  // name before a byte was written.
  bool CopyIntoTarget(int from, bool& again);

  bool used = false;
  SaveDestination destination;  // the folder and name that are written
  int asideFd = -1;             // the file made aside, until Finish (its
                                // stream writes it but never closes it)
  bool unnamed = false;         // whether that file has no name yet
  std::string temporary;        // its hidden name in that folder, when it
                                // has one; empty otherwise and after Finish
  int kept = -1;                // the existing target, open for writing,
                                // while a file made aside is to replace it
  FileWriteLock inPlace;        // held while writing the target in place
};

// For tests: with `allowed` false, saves make their file aside under a
// hidden name from the start, as where the file system has no unnamed
// files. Set it while no save runs.
void SetReplacingFileWriterUnnamedFiles(bool allowed);

// For tests: with `throughProc` true, saves name their unnamed files by
// linking /proc/thread-self/fd/N, as a process that may not read every file
// must on kernels before 6.10, instead of linking the descriptor itself.
// Each call also looks at /proc afresh, so a test may hide it (in a mount
// namespace of its own) first. Set it while no save runs.
void SetReplacingFileWriterLinkThroughProc(bool throughProc);

// For tests: when set, Open calls `hook` with the target's name (its last
// part, in the folder the path led to) right after it has opened an existing
// target and before it first looks at it, so that a test can replace or
// remove the name at that instant; so does Finish with a file that took a
// new name meanwhile. Null removes it. Set it while no save runs.
void SetReplacingFileWriterOpenHook(void (*hook)(const char* path));

// For tests: when set, Finish calls `hook` with the name of a target that
// did not exist at Open just before each try at giving the finished file
// that name, so that a test can take the name at that instant. Null
// removes it. Set it while no save runs.
void SetReplacingFileWriterNamingHook(void (*hook)(const char* name));

}  // namespace KVO

#endif  // RUNTIME_FILEACCESS_H_
