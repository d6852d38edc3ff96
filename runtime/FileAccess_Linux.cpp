#include "runtime/FileAccess.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

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

// What a caller's path names once its symbolic links are followed.
struct Destination {
  std::string path;          // the name finally written
  bool throughProc = false;  // the path or a link on the way lies in /proc
  int descriptor = -1;       // the process's own descriptor it names, if any
};

std::string FolderOf(const std::string& path, std::size_t slash) {
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The N of a name /proc/<this process>/fd/N (or a thread's fd folder, which
// shares the table), however reached: /dev/fd, /proc/self, /proc/thread-self.
int OwnDescriptor(const std::string& folder, const std::string& name) {
  if (name.empty() || name.size() > 9 ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  char real[PATH_MAX];
  if (::realpath(folder.c_str(), real) == nullptr) return -1;
  const std::string own = "/proc/" + std::to_string(::getpid());
  const std::string resolved = real;
  if (resolved.compare(0, own.size(), own) != 0) return -1;
  const std::string rest = resolved.substr(own.size());
  const bool ofThread = rest.compare(0, 6, "/task/") == 0 && rest.size() > 9 &&
                        rest.compare(rest.size() - 3, 3, "/fd") == 0;
  return rest == "/fd" || ofThread ? std::stoi(name) : -1;
}

// Follows a chain of symbolic links to the name that is finally written,
// which may not exist yet (a dangling link creates its target, as fopen
// would). A chain that does not end answers a link, whose open then fails.
// Stops at the first name in /proc, whose links are descriptors and
// processes rather than files that could be replaced.
Destination Resolve(const char* given) {
  Destination destination;
  std::string& path = destination.path;
  path = given;
  for (int hop = 0; hop < 40; ++hop) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = FolderOf(path, slash);
    struct statfs system;
    if (::statfs(folder.c_str(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC) {
      destination.throughProc = true;
      destination.descriptor =
          OwnDescriptor(folder, slash == std::string::npos ? path : path.substr(slash + 1));
      break;
    }
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
    char next[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), next, sizeof next);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof next) break;
    std::string resolved(next, static_cast<std::size_t>(length));
    if (resolved[0] != '/' && slash != std::string::npos) {
      resolved.insert(0, path, 0, slash + 1);
    }
    path = std::move(resolved);
  }
  return destination;
}

// Writes all `size` bytes unless the descriptor fails; answers how many
// arrived. A descriptor set not to block (O_NONBLOCK, which a duplicate
// shares with its owner) is waited on for room, as a blocking one would be.
std::size_t WriteAll(int fd, const char* bytes, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, bytes + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{fd, POLLOUT, 0};
      if (::poll(&room, 1, -1) >= 0 || errno == EINTR) continue;
    }
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  return done;
}

// A stream on the process's own descriptor that writes where the
// descriptor stands and seeks nowhere else, so that a writer's rewind before
// its first byte (the BMP writer rewinds) moves nothing that others share.
struct DescriptorStream {
  int fd;
  off64_t position;

  static ssize_t Write(void* cookie, const char* bytes, std::size_t size) {
    auto* self = static_cast<DescriptorStream*>(cookie);
    const std::size_t done = WriteAll(self->fd, bytes, size);
    self->position += static_cast<off64_t>(done);
    return static_cast<ssize_t>(done);
  }
  static int Seek(void* cookie, off64_t* offset, int whence) {
    const auto* self = static_cast<DescriptorStream*>(cookie);
    const off64_t wanted = whence == SEEK_SET   ? *offset
                           : whence == SEEK_CUR ? self->position + *offset
                                                : -1;
    if (wanted != self->position) {
      errno = ESPIPE;
      return -1;
    }
    *offset = wanted;
    return 0;
  }
  static int Close(void* cookie) {
    auto* self = static_cast<DescriptorStream*>(cookie);
    const int result = ::close(self->fd);
    delete self;
    return result;
  }
};

// Writes through a duplicate of the process's own descriptor when it is
// open for writing: the picture then lands where the descriptor stands, and
// its later writes follow it. Anything else in /proc is opened as named.
std::FILE* OpenThroughProc(const char* path, int descriptor) {
  const int flags = descriptor < 0 ? -1 : ::fcntl(descriptor, F_GETFL);
  if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) return OpenForWritingInPlace(path);
  // A pipe or FIFO that nobody reads shows an error at once, where a write
  // would raise SIGPIPE.
  pollfd ready{descriptor, POLLOUT, 0};
  if (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLERR) != 0) {
    errno = EPIPE;
    return nullptr;
  }
  auto* cookie = new (std::nothrow) DescriptorStream{-1, 0};
  if (cookie == nullptr) return nullptr;
  cookie->fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  std::FILE* stream = cookie->fd == -1
                          ? nullptr
                          : ::fopencookie(cookie, "wb",
                                          {nullptr, &DescriptorStream::Write,
                                           &DescriptorStream::Seek, &DescriptorStream::Close});
  if (stream == nullptr) {
    if (cookie->fd != -1) ::close(cookie->fd);
    delete cookie;
  }
  return stream;
}

// A hidden name beside `path`, unique to this process and call; O_EXCL at
// creation settles any clash with another process.
std::string TemporaryName(const std::string& path) {
  static std::atomic<unsigned int> counter{0};
  const std::size_t slash = path.rfind('/');
  const std::size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  // Shortened so that the decorated name stays within NAME_MAX.
  const std::string base = path.substr(baseStart, 200);
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".%x.%x.%lx.tmp", static_cast<unsigned int>(::getpid()),
                counter.fetch_add(1), static_cast<unsigned long>(now.tv_nsec));
  return path.substr(0, baseStart) + "." + base + suffix;
}

// Whether the open file carries extended attributes (an access list, file
// capabilities, a user's tags) that a new file would come without. The
// security label is left out: a file created in the folder gets its own.
bool CarriesAttributes(int fd) {
  char names[4096];
  const ssize_t size = ::flistxattr(fd, names, sizeof names);
  if (size < 0) return errno == ERANGE;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    if (std::strcmp(names + at, "security.selinux") != 0) return true;
  }
  return false;
}

enum class Aside { Made, InPlace, Refused };

// Creates the temporary for `target` and, for an existing file (`existing`
// not null), gives it the file's owner, group and mode. InPlace when the
// temporary cannot be made for want of permission or name length, or
// cannot take the file's ids; the temporary is then gone again.
Aside CreateTemporary(const std::string& target, const struct stat* existing,
                      std::string& temporary, int& temporaryFd) {
  temporaryFd = -1;
  for (int attempt = 0; attempt < 100 && temporaryFd == -1; ++attempt) {
    temporary = TemporaryName(target);
    // 0666 under the umask for a new file: what fopen would have created.
    temporaryFd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                         existing != nullptr ? 0600 : 0666);
    if (temporaryFd == -1 && errno != EEXIST) break;
  }
  if (temporaryFd == -1) {
    const int error = errno;
    temporary.clear();
    return error == EACCES || error == EPERM || error == ENAMETOOLONG ? Aside::InPlace
                                                                      : Aside::Refused;
  }
  if (existing == nullptr) return Aside::Made;
  // A created file has the folder's group where the folder is set-group-id,
  // so the ids are compared rather than assumed; and the folder's default
  // access list, which the file it replaces may not have. The mode is set
  // while the file is still the process's own, and set again where giving
  // the file away cleared its set-id bits.
  const mode_t mode = existing->st_mode & 07777;
  struct stat created;
  bool restored = !CarriesAttributes(temporaryFd) && ::fchmod(temporaryFd, mode) == 0 &&
                  ::fstat(temporaryFd, &created) == 0;
  if (restored && (created.st_uid != existing->st_uid || created.st_gid != existing->st_gid)) {
    restored = ::fchown(temporaryFd, existing->st_uid, existing->st_gid) == 0 &&
               ::fstat(temporaryFd, &created) == 0 &&
               ((created.st_mode & 07777) == mode || ::fchmod(temporaryFd, mode) == 0);
  }
  if (restored) return Aside::Made;
  ::close(temporaryFd);
  temporaryFd = -1;
  ::unlink(temporary.c_str());
  temporary.clear();
  return Aside::InPlace;
}

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

ReplacingFileWriter::~ReplacingFileWriter() {
  if (!temporary.empty()) ::unlink(temporary.c_str());
  if (kept != -1) ::close(kept);
}

std::FILE* ReplacingFileWriter::Open(const char* path) {
  if (path == nullptr || path[0] == '\0' || !target.empty()) return nullptr;
  const Destination destination = Resolve(path);
  target = destination.path;
  if (destination.throughProc) return OpenThroughProc(path, destination.descriptor);

  // Opening the existing file for writing (without creating or truncating
  // it) checks that the process may write it and that a FIFO has a reader,
  // without changing a byte. Without O_CREAT it also opens another user's
  // file in a sticky folder, which protected_regular would refuse.
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  int temporaryFd = -1;
  if (fd == -1) {
    if (errno != ENOENT) return nullptr;
    const Aside aside = CreateTemporary(target, nullptr, temporary, temporaryFd);
    if (aside == Aside::Made) return StreamFromDescriptor(temporaryFd, "wb");
    return aside == Aside::InPlace ? OpenForWritingInPlace(target.c_str()) : nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) return StreamFromDescriptor(fd, "wb");
  const Aside aside = status.st_nlink == 1 && !CarriesAttributes(fd)
                          ? CreateTemporary(target, &status, temporary, temporaryFd)
                          : Aside::InPlace;
  if (aside == Aside::Made) {
    kept = fd;
    return StreamFromDescriptor(temporaryFd, "wb");
  }
  if (aside == Aside::Refused || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  return StreamFromDescriptor(fd, "wb");
}

bool ReplacingFileWriter::CopyIntoTarget() {
  const int from = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  const int to = kept != -1 ? kept
                            : ::open(target.c_str(),
                                     O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  // The picture's room is taken before a byte of the target changes, so a
  // full disk refuses the copy while the target still holds its old bytes;
  // the target is then written over from its start and cut to length.
  struct stat finished;
  const bool known = from != -1 && ::fstat(from, &finished) == 0;
  bool ok = known && to != -1;
  if (ok && finished.st_size > 0 &&
      ::fallocate(to, FALLOC_FL_KEEP_SIZE, 0, finished.st_size) != 0) {
    ok = errno == EOPNOTSUPP || errno == ENOSYS;
  }
  char buffer[16384];
  while (ok) {
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      ok = errno == EINTR;
      continue;
    }
    ok = WriteAll(to, buffer, static_cast<std::size_t>(got)) == static_cast<std::size_t>(got);
  }
  ok = ok && ::ftruncate(to, finished.st_size) == 0;
  // A temporary given to the target's owner may only be removed by that
  // owner in a sticky folder; what could give it away can take it back.
  if (known && finished.st_uid != ::geteuid()) {
    (void)!::fchown(from, ::geteuid(), static_cast<gid_t>(-1));
  }
  if (from != -1) ::close(from);
  if (to != -1 && to != kept) ok = ::close(to) == 0 && ok;
  return ok;
}

bool ReplacingFileWriter::Finish(std::FILE* stream, bool written) {
  if (stream == nullptr) return false;
  bool ok = written && std::fflush(stream) == 0;
  // An old file must not be replaced by one whose data is not yet on the
  // disk: a crash could leave the name on an empty file and both versions
  // lost. A new file has nothing to lose, and in-place writes nothing to
  // protect this way.
  if (ok && kept != -1) ok = ::fsync(::fileno(stream)) == 0;
  ok = std::fclose(stream) == 0 && ok;
  if (temporary.empty()) return ok;
  bool renamed = false;
  if (ok) {
    renamed = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!renamed) ok = (errno == EPERM || errno == EACCES || errno == EBUSY) && CopyIntoTarget();
  }
  if (!renamed) ::unlink(temporary.c_str());
  temporary.clear();
  // After a copy the target was written through this descriptor, and a
  // file system may report a failed write only when it is closed.
  if (kept != -1 && ::close(kept) != 0 && !renamed) ok = false;
  kept = -1;
  return ok;
}

}  // namespace KVO
