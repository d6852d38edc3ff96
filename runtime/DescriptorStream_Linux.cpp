#include "runtime/DescriptorStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace KVO {

namespace {

// A stream that writes `fd` from where it stands and knows its position, so
// that it asks the kernel nothing it was not told: fdopen would look up the
// descriptor's mode and size its buffer with an fstat, and every rewind or
// ftell would call lseek. On the process's own descriptor (`fixed`) it seeks
// nowhere else, so that a writer's rewind before its first byte (the BMP
// writer rewinds) moves nothing that others share; on a file of its own a
// seek elsewhere goes to the kernel. Closing the stream closes `fd` where
// the stream `owns` it.
struct DescriptorStream {
  static constexpr std::size_t kBufferBytes = 65536;  // a small picture in one write

  int fd;
  off64_t position;
  bool fixed;
  bool owns;
  char buffer[kBufferBytes];

  static ssize_t Write(void* cookie, const char* bytes, std::size_t size) {
    auto* self = static_cast<DescriptorStream*>(cookie);
    const std::size_t done = WriteAll(self->fd, bytes, size);
    self->position += static_cast<off64_t>(done);
    return static_cast<ssize_t>(done);
  }
  static int Seek(void* cookie, off64_t* offset, int whence) {
    auto* self = static_cast<DescriptorStream*>(cookie);
    const off64_t wanted = whence == SEEK_SET   ? *offset
                           : whence == SEEK_CUR ? self->position + *offset
                                                : -1;
    if (wanted == self->position) {
      *offset = wanted;
      return 0;
    }
    if (self->fixed) {
      errno = ESPIPE;
      return -1;
    }
    const off64_t at = ::lseek64(self->fd, *offset, whence);
    if (at < 0) return -1;
    self->position = *offset = at;
    return 0;
  }
  static int Close(void* cookie) {
    auto* self = static_cast<DescriptorStream*>(cookie);
    const int result = self->owns ? ::close(self->fd) : 0;
    delete self;
    return result;
  }

  // A "wb" stream on `fd` (which, where it `owns` it, it closes also on
  // failure); null where no memory is left.
  static std::FILE* Make(int fd, bool fixed, bool owns) {
    auto* cookie = new (std::nothrow) DescriptorStream;
    std::FILE* stream = nullptr;
    if (cookie != nullptr) {
      cookie->fd = fd;
      cookie->position = 0;
      cookie->fixed = fixed;
      cookie->owns = owns;
      stream = ::fopencookie(cookie, "wb", {nullptr, &Write, &Seek, &Close});
    }
    if (stream == nullptr) {
      if (owns) ::close(fd);
      delete cookie;
      return nullptr;
    }
    // The buffer lives exactly as long as the stream: Close frees both.
    ::setvbuf(stream, cookie->buffer, _IOFBF, kBufferBytes);
    return stream;
  }
};

}  // namespace

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

std::FILE* StreamOf(int fd) { return DescriptorStream::Make(fd, false, false); }

bool WritableDescriptor(int descriptor) {
  const int flags = descriptor < 0 ? -1 : ::fcntl(descriptor, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

std::FILE* OpenThroughDescriptor(int descriptor) {
  // The kernel opens no socket by name (ENXIO); so a socket's name sends
  // it nothing here either.
  struct stat status;
  if (::fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode)) {
    errno = ENXIO;
    return nullptr;
  }
  // A pipe or FIFO that nobody reads shows an error at once, where a write
  // would raise SIGPIPE.
  pollfd ready{descriptor, POLLOUT, 0};
  if (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLERR) != 0) {
    errno = EPIPE;
    return nullptr;
  }
  const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  return fd == -1 ? nullptr : DescriptorStream::Make(fd, true, true);
}

}  // namespace KVO
