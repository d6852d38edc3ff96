#include "runtime/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

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

// Follows a chain of symbolic links to the name that is finally replaced,
// which may not exist yet (a dangling link creates its target, as fopen
// would). A chain that does not end answers a link, whose open then fails.
std::string ResolveLinks(std::string path) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
    char next[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), next, sizeof next);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof next) break;
    std::string resolved(next, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (resolved[0] != '/' && slash != std::string::npos) {
      resolved.insert(0, path, 0, slash + 1);
    }
    path = std::move(resolved);
  }
  return path;
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
}

std::FILE* ReplacingFileWriter::Open(const char* path) {
  if (path == nullptr || path[0] == '\0' || !target.empty()) return nullptr;
  target = ResolveLinks(path);

  // Opening the existing file for writing (without truncating it) checks
  // that the process may write it and that a FIFO has a reader, without
  // changing a byte.
  struct stat status;
  bool exists = false;
  const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd != -1) {
    if (::fstat(fd, &status) != 0) {
      ::close(fd);
      return nullptr;
    }
    if (!S_ISREG(status.st_mode)) return StreamFromDescriptor(fd, "wb");
    ::close(fd);
    exists = true;
  } else if (errno != ENOENT) {
    return nullptr;
  }

  int temporaryFd = -1;
  for (int attempt = 0; attempt < 100 && temporaryFd == -1; ++attempt) {
    temporary = TemporaryName(target);
    // 0666 under the umask for a new file: what fopen would have created.
    temporaryFd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (temporaryFd == -1 && errno != EEXIST) break;
  }
  if (temporaryFd == -1) {
    const int error = errno;
    temporary.clear();
    if (error == EACCES || error == EPERM) return OpenForWritingInPlace(target.c_str());
    return nullptr;
  }
  if (exists) {
    // Owner first: changing it may clear set-id bits that the mode restores.
    // Only a privileged process may give a file away; otherwise it stays ours.
    if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
      (void)!::fchown(temporaryFd, status.st_uid, status.st_gid);
    }
    if (::fchmod(temporaryFd, status.st_mode & 07777) != 0) {
      ::close(temporaryFd);
      return nullptr;  // the destructor removes the temporary
    }
  }
  return StreamFromDescriptor(temporaryFd, "wb");
}

bool ReplacingFileWriter::Finish(std::FILE* stream, bool written) {
  if (stream == nullptr) return false;
  bool ok = written && std::fflush(stream) == 0;
  // The data must be on the disk before the rename is: otherwise a crash
  // could leave the new name pointing at an empty file and both versions
  // lost. Devices and in-place files have nothing to protect this way.
  if (ok && !temporary.empty()) ok = ::fsync(::fileno(stream)) == 0;
  ok = std::fclose(stream) == 0 && ok;
  if (temporary.empty()) return ok;
  if (ok) ok = ::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  temporary.clear();
  return ok;
}

}  // namespace KVO
