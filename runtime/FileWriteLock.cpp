#include "runtime/FileWriteLock.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <utility>

namespace KVO {

namespace {

// The identities held now. Built on first use and never destroyed, so a
// save during the process's exit still finds it.
struct Registry {
  std::mutex mutex;
  std::condition_variable released;
  std::set<std::pair<dev_t, ino_t>> held;
};

Registry& TheRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

}  // namespace

FileWriteLock::~FileWriteLock() { Release(); }

bool FileWriteLock::Acquire(dev_t fileDevice, ino_t fileInode) {
  if (held) return false;
  Registry& registry = TheRegistry();
  const std::pair<dev_t, ino_t> identity{fileDevice, fileInode};
  std::unique_lock<std::mutex> lock(registry.mutex);
  registry.released.wait(lock, [&] { return registry.held.count(identity) == 0; });
  try {
    registry.held.insert(identity);
  } catch (const std::bad_alloc&) {
    return false;
  }
  held = true;
  device = fileDevice;
  inode = fileInode;
  return true;
}

void FileWriteLock::Release() {
  if (!held) return;
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.held.erase({device, inode});
  }
  held = false;
  // Waiters for other files wake, look and sleep again: few saves write
  // in place at once.
  registry.released.notify_all();
}

}  // namespace KVO
