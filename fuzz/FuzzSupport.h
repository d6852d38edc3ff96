#ifndef FUZZ_FUZZSUPPORT_H_
#define FUZZ_FUZZSUPPORT_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace KVO {
namespace fuzz {

// Pictures above this many pixels are skipped: they only slow the fuzzer
// down without reaching new code.
constexpr std::uint64_t kMaxFuzzPixels = 4u * 1024u * 1024u;

// Reads every byte so that the sanitizers see any byte left unwritten or
// written out of bounds, and the optimiser cannot drop the read.
inline void TouchEveryByte(const unsigned char* data, std::size_t size) {
  volatile unsigned char sink = 0;
  unsigned char sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum ^= data[i];
  sink = sum;
  (void)sink;
}

// A read-only stream over the input, owned by the caller (fclose), or null
// for an empty input, which fmemopen does not accept everywhere.
inline std::FILE* OpenInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return nullptr;
  return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

// An anonymous in-memory file holding the input, reachable by a path, for
// functions that only take file names. Closes itself.
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz-input", 0)) {
    if (fd_ < 0) return;
    std::size_t written = 0;
    while (written < size) {
      const ssize_t n = write(fd_, data + written, size - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    if (written == size) path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  bool IsOpen() const { return !path_.empty(); }
  const char* Path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};

}  // namespace fuzz
}  // namespace KVO

#endif  // FUZZ_FUZZSUPPORT_H_
