// SIMSetMetadataLogging: the metadata-logging file.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <mutex>
#include <string>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

// Serialises the file work of concurrent calls, so that a file never mixes
// the lines of two calls. simMutex is never held across it: frames, SIMStop
// and queries must not wait on a file the host chose.
std::mutex metadataFileMutex;

bool WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

// Failures are silent: the file is a courtesy to the host, and the answer of
// SIMSetMetadataLogging is the run state.
void WriteMetadataFile(const char* path, bool active, bool logTimestamps) {
  const std::string activeLine = std::string("Set Active: ") + (active ? "1" : "0") + "\n";
  const std::string timestampsLine = std::string("Log Timestamps: ") + (logTimestamps ? "1" : "0");
  std::lock_guard<std::mutex> lock(metadataFileMutex);
  // Non-blocking, so that a FIFO without a reader is refused at once instead
  // of waiting for one, and a FIFO whose reader stalls is never waited on.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return;
  if (WriteAll(fd, activeLine.data(), activeLine.size())) {
    WriteAll(fd, timestampsLine.data(), timestampsLine.size());
  }
  close(fd);
}

}  // namespace

bool SIMSetMetadataLogging(bool active, char* path, bool logTimestamps) {
  if (path != nullptr) WriteMetadataFile(path, active, logTimestamps);
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive();
}
