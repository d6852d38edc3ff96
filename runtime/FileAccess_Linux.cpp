#include "runtime/FileAccess.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "runtime/DescriptorStream.h"
#include "runtime/FileIdentity.h"

namespace KVO {

namespace {

// Opening with O_NONBLOCK is what keeps a FIFO from blocking the open; once
// the file is known to be one we write or read, blocking I/O is restored so
// that the stream behaves exactly as one from fopen.
std::FILE* StreamFromDescriptor(int fd, const char* mode) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* stream = ::fdopen(fd, mode);
  if (stream == nullptr) ::close(fd);
  return stream;
}

std::atomic<pid_t> knownPid{0};

void ForgetPid() { knownPid.store(0, std::memory_order_relaxed); }

// The process id, asked of the kernel once per process: a forked child
// forgets its parent's before it runs anything else.
pid_t ProcessId() {
  static const bool forgottenAtFork = ::pthread_atfork(nullptr, nullptr, &ForgetPid) == 0;
  pid_t pid = knownPid.load(std::memory_order_relaxed);
  if (pid == 0 || !forgottenAtFork) {
    pid = ::getpid();
    knownPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// A hidden name beside `name` in its folder, unique to this process and
// call; O_EXCL at creation settles any clash with another process.
std::string TemporaryName(const std::string& name) {
  static std::atomic<unsigned int> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%x.%x.%lx.tmp", static_cast<unsigned int>(ProcessId()),
                counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
  // Shortened so that the decorated name stays within NAME_MAX.
  return "." + name.substr(0, 200) + suffix;
}

std::atomic<bool> unnamedAllowed{true};
std::atomic<bool> linkThroughProc{false};

// The path by which the kernel links an open file that has no name.
// The calling thread's own table: /proc/self names the main thread's, which
// a thread that unshared its descriptors does not share.
struct DescriptorPath {
  explicit DescriptorPath(int fd) {
    std::snprintf(text, sizeof text, "/proc/thread-self/fd/%d", fd);
  }
  char text[32];
};

// Whether /proc/thread-self/fd is there, which a sandbox may not mount.
// Looked at once (again after the test seam is set).
std::atomic<int> procState{-1};  // -1: not looked at yet

bool ProcMounted() {
  int state = procState.load(std::memory_order_relaxed);
  if (state < 0) {
    struct stat status;
    state = ::stat("/proc/thread-self/fd", &status) == 0 && S_ISDIR(status.st_mode) ? 1 : 0;
    procState.store(state, std::memory_order_relaxed);
  }
  return state == 1;
}

// Whether an unnamed file made in `folder` can be given a name later: by
// linking its descriptor, or else through /proc. Without /proc the kernel is
// asked whether it links a descriptor of this thread's own (kernels before
// 6.10 allow it only to a process that may read any file): linking the
// folder's to "." fails with EEXIST where it would, with ENOENT where not.
bool CanNameUnnamedFiles(int folder) {
  if (!unnamedAllowed.load()) return false;
  if (ProcMounted()) return true;
  return !linkThroughProc.load() && ::linkat(folder, "", folder, ".", AT_EMPTY_PATH) != 0 &&
         errno == EEXIST;
}

std::atomic<bool> emptyPathRefused{false};

// Gives the unnamed file `fd` the name `name` in `folder`; fails with
// EEXIST where the name is taken.
bool LinkUnnamed(int fd, int folder, const char* name) {
  // Naming the descriptor itself is the cheaper way, and the only one
  // without /proc; kernels before 6.10 allow it only to a process that may
  // read any file.
  const bool proc = ProcMounted();
  if (!linkThroughProc.load(std::memory_order_relaxed) &&
      (!emptyPathRefused.load(std::memory_order_relaxed) || !proc)) {
    if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return true;
    if ((errno != ENOENT && errno != EPERM) || !proc) return false;
    emptyPathRefused.store(true, std::memory_order_relaxed);
  }
  return ::linkat(AT_FDCWD, DescriptorPath(fd).text, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// Creates the picture's file in the destination's folder: unnamed where the
// file system allows (so that a process killed midway leaves nothing), with
// `unnamedMode`, or else under a hidden name in `temporary`, with `mode`.
// The umask applies, as to a file that fopen creates. -1 with errno on failure; EPERM
// where only a hidden name would do, in a folder that would keep it for
// good (append-only or immutable).
int CreateAsideFile(SaveDestination& destination, mode_t mode, mode_t unnamedMode, bool& unnamed,
                    std::string& temporary) {
  const int folder = destination.Folder();
  unnamed = CanNameUnnamedFiles(folder);
  if (unnamed) {
    const int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, unnamedMode);
    // File systems without unnamed files refuse them in one of these ways.
    if (fd != -1 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    unnamed = false;
  }
  if (destination.FolderKeepsNames()) {
    errno = EPERM;
    return -1;
  }
  const std::string& name = destination.Name();
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd == -1; ++attempt) {
    temporary = TemporaryName(name);
    fd = ::openat(folder, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd == -1 && errno != EEXIST) break;
  }
  if (fd == -1) temporary.clear();
  return fd;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the open file of `status` is still the one that `name` in `folder`
// leads to: not unlinked, nor replaced by another file renamed over it.
bool StillNamed(int folder, const std::string& name, const struct stat& status) {
  struct stat named;
  return status.st_nlink > 0 && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(named, status);
}

// Tells watchers of the folder that the file under `name` was written and
// closed, as the close of fopen's stream does: the finished file's own
// descriptor was opened before the file had that name, so its close was
// told under none. The name is opened for writing (not following a link,
// not waiting on a lease or a FIFO) only where it leads to `finished`, and
// closed at once; not a byte changes. Where the file's mode denies the
// saver writing (a umask taking the owner's write bit), its owner lends it
// that bit for the instant, as fopen's create needs none. Nothing is
// answered: the picture is in place either way.
void GiveCloseEvent(int folder, const std::string& name, int finished) {
  struct stat made;
  struct stat named;
  if (::fstat(finished, &made) != 0 ||
      ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(made, named)) {
    return;
  }
  constexpr int kHow = O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  int fd = ::openat(folder, name.c_str(), kHow);
  const mode_t mode = made.st_mode & 07777;
  if (fd == -1 && errno == EACCES && (mode & S_IWUSR) == 0 &&
      ::fchmod(finished, mode | S_IWUSR) == 0) {
    fd = ::openat(folder, name.c_str(), kHow);
    (void)!::fchmod(finished, mode);
  }
  if (fd != -1) ::close(fd);
}

// Swaps `fd`, open for writing, for a descriptor of its file open only for
// reading, so that the file's last close, after a rename gave it the
// target's name, does not tell watchers of that name of a write a second
// time (the replaced target's own descriptor tells them). Keeps `fd` where
// /proc cannot reopen it.
int KeepForReading(int fd) {
  const int reading = ::open(DescriptorPath(fd).text, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (reading == -1) return fd;
  ::close(fd);
  return reading;
}

std::atomic<void (*)(const char*)> openHook{nullptr};
std::atomic<void (*)(const char*)> namingHook{nullptr};

constexpr int kOpenAttempts = 100;

}  // namespace

std::FILE* OpenRegularFileForReading(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd == -1) return nullptr;
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  return StreamFromDescriptor(fd, "rb");
}

std::FILE* OpenForWritingInPlace(const char* path) {
  if (path == nullptr) return nullptr;
  // A FIFO without a reader fails here with ENXIO instead of waiting.
  const int fd =
      ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd == -1) return nullptr;
  return StreamFromDescriptor(fd, "wb");
}

void SetReplacingFileWriterOpenHook(void (*hook)(const char* path)) { openHook = hook; }

void SetReplacingFileWriterNamingHook(void (*hook)(const char* name)) { namingHook = hook; }

void SetReplacingFileWriterUnnamedFiles(bool allowed) { unnamedAllowed = allowed; }

void SetReplacingFileWriterLinkThroughProc(bool throughProc) {
  linkThroughProc = throughProc;
  procState = -1;
}

ReplacingFileWriter::~ReplacingFileWriter() {
  if (asideFd != -1) ::close(asideFd);
  if (!temporary.empty()) ::unlinkat(destination.Folder(), temporary.c_str(), 0);
  if (kept != -1) ::close(kept);
}

std::FILE* ReplacingFileWriter::Open(const char* path) {
  if (path == nullptr || used) return nullptr;
  used = true;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // The settings are read afresh for each save: they may change while a
    // host runs.
    SharedFolderProtection protection;
    if (!destination.Walk(path, protection)) return nullptr;
    if (destination.ThroughProc()) {
      return WritableDescriptor(destination.OwnDescriptor())
                 ? OpenThroughDescriptor(destination.OwnDescriptor())
                 : OpenNamedInPlace(path);
    }
    bool again = false;
    std::FILE* stream = OpenDestination(protection, again);
    if (!again) return stream;
  }
  errno = EAGAIN;
  return nullptr;
}

namespace {

// A regular file under a lease (which file servers hold on files a client
// has open) refuses a non-blocking open while the holder is told to give
// it up. The open then waits, as fopen's does; it goes through a descriptor
// of the very file that was looked at, so a FIFO swapped in meanwhile is
// never waited on. `name` in `folder` is opened as `how` says (O_NOFOLLOW
// or 0) and must be a regular file and, where `seen` is given, that file;
// where it is not, answers -1 and sets `again`.
int OpenWaitingForLease(int folder, const char* name, int how, const struct stat* seen,
                        bool& again) {
  const int path = ::openat(folder, name, O_PATH | O_CLOEXEC | how);
  struct stat status;
  if (path == -1 || ::fstat(path, &status) != 0 || !S_ISREG(status.st_mode) ||
      (seen != nullptr && !SameFile(status, *seen))) {
    again = true;
    if (path != -1) ::close(path);
    return -1;
  }
  int fd;
  do {
    fd = ::open(DescriptorPath(path).text, O_WRONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd == -1 && errno == EINTR);
  // Without /proc, the refusal stands.
  if (fd == -1 && errno == ENOENT) errno = EWOULDBLOCK;
  ::close(path);
  struct stat opened;
  if (fd != -1 && (::fstat(fd, &opened) != 0 || !SameFile(opened, status))) {
    ::close(fd);
    again = true;
    return -1;
  }
  return fd;
}

}  // namespace

std::FILE* ReplacingFileWriter::OpenDestination(SharedFolderProtection& protection, bool& again) {
  if (!destination.Exists()) return OpenNewFile(again);
  struct stat status;
  const int fd = OpenExisting(protection, destination.Status(), status, again);
  if (fd == -1) return nullptr;
  if (!S_ISREG(status.st_mode)) return StreamFromDescriptor(fd, "wb");
  const Aside made = MayReplace(fd, status) ? CreateReplacement(fd, status) : Aside::InPlace;
  if (made == Aside::Made) {
    kept = fd;
    return StreamOf(asideFd);
  }
  if (made == Aside::Refused) {
    ::close(fd);
    return nullptr;
  }
  return OpenInPlace(fd, status, again);
}

bool ReplacingFileWriter::MayReplace(int fd, const struct stat& status) {
  // Only where nothing but the bytes changes, and where the folder lets a
  // name be replaced at all (an append-only folder would keep the hidden
  // name for good).
  return status.st_nlink == 1 && !CarriesAttributes(fd) && !destination.FolderKeepsNames();
}

int ReplacingFileWriter::OpenExisting(SharedFolderProtection& protection, const struct stat& seen,
                                      struct stat& status, bool& again) {
  const uid_t fsuid = SharedFolderProtection::FilesystemUser();
  if (seen.st_uid != fsuid &&
      !protection.MayWriteExisting(destination.FolderStatus(), seen, fsuid)) {
    errno = EACCES;
    return -1;
  }
  // Opening the existing file for writing (without creating or truncating
  // it) checks that the process may write it and that a FIFO has a reader,
  // without changing a byte. Without O_CREAT the kernel's own shared-folder
  // check does not run; the one above stands in for it, so that another
  // user's file in a sticky folder is still written where the settings
  // allow it. O_NOFOLLOW: a link planted since the walk is not followed.
  int fd = ::openat(destination.Folder(), destination.Name().c_str(),
                    O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  if (fd == -1 && errno == EWOULDBLOCK && S_ISREG(seen.st_mode)) {
    fd = OpenWaitingForLease(destination.Folder(), destination.Name().c_str(), O_NOFOLLOW, &seen,
                             again);
    if (again) return -1;
  }
  if (fd == -1) {
    again = errno == ENOENT || errno == ELOOP;
    return -1;
  }
  if (auto* hook = openHook.load()) hook(destination.Name().c_str());
  // The file opened must be the one the rules were applied to, and still
  // have the name: one that another save renamed its finished file over
  // has no name left, and writing it would answer true for a picture that
  // is in no file, under the feet of a reader of the old one.
  if (::fstat(fd, &status) != 0) {
    ::close(fd);
    return -1;
  }
  // A regular file is looked up by name again where it is written in
  // place, once its turn has come; one that is replaced is never written.
  if (!SameFile(status, seen) || status.st_nlink == 0 ||
      (!S_ISREG(status.st_mode) && !StillNamed(destination.Folder(), destination.Name(), status))) {
    ::close(fd);
    again = true;
    return -1;
  }
  return fd;
}

ReplacingFileWriter::Aside ReplacingFileWriter::CreateReplacement(int target,
                                                                  const struct stat& existing) {
  // A file with a name is made the process's own first (0600), so that
  // nobody else opens it before it has the target's ids and mode; nobody
  // can open one without a name, which is made with the target's mode at
  // once (the umask may take bits away).
  const mode_t mode = existing.st_mode & 07777;
  asideFd = CreateAsideFile(destination, 0600, mode & 0777, unnamed, temporary);
  if (asideFd == -1) {
    return errno == EACCES || errno == EPERM || errno == ENAMETOOLONG ? Aside::InPlace
                                                                      : Aside::Refused;
  }
  const bool restored = TakeOnIdentity(destination.Folder(), target, existing, asideFd);
  if (restored) return Aside::Made;
  DropAside();
  return Aside::InPlace;
}

void ReplacingFileWriter::DropAside() {
  if (asideFd != -1) ::close(asideFd);
  asideFd = -1;
  if (!temporary.empty()) ::unlinkat(destination.Folder(), temporary.c_str(), 0);
  temporary.clear();
}

std::FILE* ReplacingFileWriter::OpenNewFile(bool& again) {
  asideFd = CreateAsideFile(destination, 0666, 0666, unnamed, temporary);
  if (asideFd != -1) return StreamOf(asideFd);
  if (errno != EACCES && errno != EPERM && errno != ENAMETOOLONG) return nullptr;
  // O_EXCL: a file or link that appeared since the walk goes through the
  // rules again instead of being opened unchecked.
  const int fd = ::openat(destination.Folder(), destination.Name().c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  struct stat status;
  if (fd == -1 || ::fstat(fd, &status) != 0) {
    again = fd == -1 && errno == EEXIST;
    if (fd != -1) ::close(fd);
    return nullptr;
  }
  return OpenInPlace(fd, status, again);
}

std::FILE* ReplacingFileWriter::OpenInPlace(int fd, const struct stat& status, bool& again) {
  if (!inPlace.Acquire(status.st_dev, status.st_ino)) {
    ::close(fd);
    return nullptr;
  }
  // Another save may have renamed its file over the name while this one
  // waited its turn.
  if (!StillNamed(destination.Folder(), destination.Name(), status)) {
    inPlace.Release();
    ::close(fd);
    again = true;
    return nullptr;
  }
  return TruncateHeld(fd);
}

std::FILE* ReplacingFileWriter::TruncateHeld(int fd) {
  if (::ftruncate(fd, 0) != 0) {
    inPlace.Release();
    ::close(fd);
    return nullptr;
  }
  std::FILE* stream = StreamFromDescriptor(fd, "wb");
  if (stream == nullptr) inPlace.Release();
  return stream;
}

std::FILE* ReplacingFileWriter::OpenNamedInPlace(const char* path) {
  // Not truncated at the open: only once this process's other in-place
  // saves of the file are done.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd == -1 && errno == EWOULDBLOCK) {
    bool changed = false;
    fd = OpenWaitingForLease(AT_FDCWD, path, 0, nullptr, changed);
    if (changed) errno = EWOULDBLOCK;
  }
  struct stat status;
  if (fd == -1 || ::fstat(fd, &status) != 0) {
    if (fd != -1) ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) return StreamFromDescriptor(fd, "wb");
  if (!inPlace.Acquire(status.st_dev, status.st_ino)) {
    ::close(fd);
    return nullptr;
  }
  return TruncateHeld(fd);
}

bool ReplacingFileWriter::CopyIntoTarget(int from, bool& again) {
  const int folder = destination.Folder();
  const std::string& name = destination.Name();
  const int to = kept;
  kept = -1;
  // Nothing is open where the name held no regular file: the refusal of the
  // rename stands.
  if (to == -1) return false;
  struct stat target;
  bool ok = ::fstat(to, &target) == 0 && S_ISREG(target.st_mode) &&
            inPlace.Acquire(target.st_dev, target.st_ino);
  // The target is written only while it still has its name, which another
  // save may have renamed its file over while this one waited its turn;
  // then the naming starts over.
  if (ok && !StillNamed(folder, name, target)) {
    ok = false;
    again = true;
    errno = ESTALE;
  }
  // The picture's room is taken before a byte of the target changes, so a
  // full disk refuses the copy while the target still holds its old bytes;
  // the target is then written over from its start and cut to length.
  struct stat finished;
  ok = ok && ::fstat(from, &finished) == 0;
  if (ok && finished.st_size > 0 &&
      ::fallocate(to, FALLOC_FL_KEEP_SIZE, 0, finished.st_size) != 0) {
    ok = errno == EOPNOTSUPP || errno == ENOSYS;
  }
  ok = ok && ::lseek(to, 0, SEEK_SET) == 0;
  char buffer[16384];
  for (off_t at = 0; ok;) {
    const ssize_t got = ::pread(from, buffer, sizeof buffer, at);
    if (got == 0) break;
    if (got < 0) {
      ok = errno == EINTR;
      continue;
    }
    ok = WriteAll(to, buffer, static_cast<std::size_t>(got)) == static_cast<std::size_t>(got);
    at += got;
  }
  ok = ok && ::ftruncate(to, finished.st_size) == 0;
  inPlace.Release();
  // A file system may report a failed write only when the file is closed.
  ok = ::close(to) == 0 && ok;
  return ok;
}

ReplacingFileWriter::Aside ReplacingFileWriter::MatchTakenName(int finished, bool& again) {
  struct stat seen;
  if (::fstatat(destination.Folder(), destination.Name().c_str(), &seen, AT_SYMLINK_NOFOLLOW) !=
      0) {
    again = errno == ENOENT;
    return Aside::Refused;
  }
  // A link, or a file that is not a regular one, is replaced, as a rename
  // over the name always did; not where the folder would keep the hidden
  // name for good.
  if (!S_ISREG(seen.st_mode)) {
    if (!destination.FolderKeepsNames()) return Aside::Made;
    errno = EPERM;
    return Aside::Refused;
  }
  // Opened for writing as Open opens a file it finds, so that what Open
  // would refuse (a file the saver may not write, one that the shared-folder
  // rules keep from it) is refused here too, and left as it is.
  SharedFolderProtection protection;
  struct stat status;
  kept = OpenExisting(protection, seen, status, again);
  if (kept == -1 || ::fsync(finished) != 0) return Aside::Refused;
  const bool matched =
      MayReplace(kept, status) && TakeOnIdentity(destination.Folder(), kept, status, finished);
  return matched ? Aside::Made : Aside::InPlace;
}

bool ReplacingFileWriter::NameUnlessTaken(int finished) {
  const int folder = destination.Folder();
  const char* name = destination.Name().c_str();
  if (temporary.empty()) return LinkUnnamed(finished, folder, name);
  if (::renameat2(folder, temporary.c_str(), folder, name, RENAME_NOREPLACE) == 0) {
    temporary.clear();
    return true;
  }
  // File systems that cannot rename without replacing (FUSE and network
  // ones, mostly) can link; the hidden name goes at the end of the save.
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::linkat(folder, temporary.c_str(), folder, name, 0) == 0) return true;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  // Neither: the name is looked at just before the rename, which still
  // replaces a file made in between.
  struct stat status;
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT || ::renameat(folder, temporary.c_str(), folder, name) != 0) return false;
  temporary.clear();
  return true;
}

bool ReplacingFileWriter::Replace(int finished) {
  const int folder = destination.Folder();
  const std::string& name = destination.Name();
  // An unnamed file gets a hidden name only for the instant before the
  // rename.
  for (int attempt = 0; attempt < 100 && temporary.empty(); ++attempt) {
    temporary = TemporaryName(name);
    if (!LinkUnnamed(finished, folder, temporary.c_str())) {
      temporary.clear();
      if (errno != EEXIST) return false;
    }
  }
  if (temporary.empty()) return false;
  if (::renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) {
    temporary.clear();
    return true;
  }
  const int error = errno;
  // A file given to the target's owner may only be removed by that owner
  // in a sticky folder; what could give it away can take it back. Its
  // hidden name stays until the save ends, for a naming started over.
  struct stat status;
  if (::fstat(finished, &status) == 0 && status.st_uid != ::geteuid()) {
    (void)!::fchown(finished, ::geteuid(), static_cast<gid_t>(-1));
  }
  errno = error;
  return false;
}

bool ReplacingFileWriter::Publish(int finished) {
  // A new name is given without replacing anything; a file that took it
  // meanwhile goes through the rules of one found at Open. Where the file
  // to be written is gone again, the naming starts over.
  bool fresh = !destination.Exists();
  Aside way = Aside::Made;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (fresh) {
      if (auto* hook = namingHook.load()) hook(destination.Name().c_str());
      if (NameUnlessTaken(finished)) return true;
      if (errno != EEXIST) return false;
      bool again = false;
      way = MatchTakenName(finished, again);
      if (again) continue;
      if (way == Aside::Refused) return false;
    }
    // A sticky folder refuses the rename over another user's file, and a
    // file mounted over refuses it too: the picture is copied in instead.
    if (way == Aside::Made) {
      if (Replace(finished)) return true;
      if (errno != EPERM && errno != EACCES && errno != EBUSY) return false;
    }
    bool again = false;
    if (CopyIntoTarget(finished, again)) return true;
    if (!again) return false;
    fresh = true;
  }
  errno = EAGAIN;
  return false;
}

bool ReplacingFileWriter::Finish(std::FILE* stream, bool written) {
  if (stream == nullptr) return false;
  // The finished file stays open past the stream's close: an unnamed one
  // would vanish without it, and a refused rename copies from it.
  int finished = asideFd;
  asideFd = -1;
  bool ok = written && std::fflush(stream) == 0;
  // An old file must not be replaced by one whose data is not yet on the
  // disk: a crash could leave the name on an empty file and both versions
  // lost. A new file has nothing to lose, and in-place writes nothing to
  // protect this way.
  if (ok && kept != -1) {
    ok = ::fsync(finished) == 0;
    if (ok && !unnamed) finished = KeepForReading(finished);
  } else if (ok && finished != -1) {
    // Without a sync, a file system may report a failed write only when a
    // descriptor of the file closes (NFS, FUSE): a duplicate's close asks.
    const int probe = ::fcntl(finished, F_DUPFD_CLOEXEC, 0);
    ok = probe != -1 && ::close(probe) == 0;
  }
  ok = std::fclose(stream) == 0 && ok;
  // The last byte of an in-place save is written: the next may begin.
  inPlace.Release();
  if (finished == -1) return ok;
  // Watchers of the name hear of the picture when a descriptor opened for
  // writing under that name closes below: a replaced target's, or, for a new
  // name, the finished file's where it was made under the hidden name now
  // renamed. An unnamed file made for a new name has neither.
  const bool told = kept != -1 || !unnamed;
  ok = ok && Publish(finished);
  // A file that took the name meanwhile and was replaced is still open for
  // writing here: its close below tells them.
  if (ok && !told && kept == -1) GiveCloseEvent(destination.Folder(), destination.Name(), finished);
  if (!temporary.empty()) ::unlinkat(destination.Folder(), temporary.c_str(), 0);
  temporary.clear();
  if (finished != -1) ::close(finished);
  if (kept != -1) ::close(kept);
  kept = -1;
  return ok;
}

}  // namespace KVO
