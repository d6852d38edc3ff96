#include "runtime/FileWriteLock.h"

#include <pthread.h>

#include <atomic>
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

std::atomic<Registry*> registry{nullptr};

// A forked child has only the thread that forked: what the others held (and
// the registry's own lock, which one of them may have held) would never be
// given back there, so the child's next save builds an empty registry. The
// old one is left as it is, since its lock may be held.
void RenewInChild() { registry.store(nullptr); }

// Throws std::bad_alloc where a registry cannot be built.
Registry& TheRegistry() {
  static const bool forkHandled = pthread_atfork(nullptr, nullptr, &RenewInChild) == 0;
  (void)forkHandled;
  Registry* current = registry.load();
  if (current == nullptr) {
    auto* made = new Registry;
    if (registry.compare_exchange_strong(current, made)) {
      current = made;
    } else {
      delete made;
    }
  }
  return *current;
}

}  // namespace

FileWriteLock::~FileWriteLock() { Release(); }

bool FileWriteLock::Acquire(dev_t fileDevice, ino_t fileInode) {
  if (held) return false;
  const std::pair<dev_t, ino_t> identity{fileDevice, fileInode};
  try {
    Registry& table = TheRegistry();
    std::unique_lock<std::mutex> lock(table.mutex);
    table.released.wait(lock, [&] { return table.held.count(identity) == 0; });
    table.held.insert(identity);
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
  held = false;
  // None after a fork: the child's registry is built anew, without this.
  Registry* current = registry.load();
  if (current == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(current->mutex);
    current->held.erase({device, inode});
  }
  // Waiters for other files wake, look and sleep again: few saves write
  // in place at once.
  current->released.notify_all();
}

}  // namespace KVO
