// SIMSetMetadataLogging: the metadata-logging file.
#include <fstream>
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

bool SIMSetMetadataLogging(bool active, char* path, bool logTimestamps) {
  std::lock_guard<std::mutex> lock(simMutex);
  if (path != nullptr) {
    // Binary mode: the file is exactly these 31 bytes on every platform.
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (file) {
      file << "Set Active: " << (active ? '1' : '0') << '\n' << std::flush;
      file << "Log Timestamps: " << (logTimestamps ? '1' : '0');
    }
  }
  return SimRunIsActive();
}
