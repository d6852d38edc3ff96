#ifndef RUNTIME_FILEWRITELOCK_H_
#define RUNTIME_FILEWRITELOCK_H_

#include <sys/types.h>

namespace KVO {

// Keeps this process's writes of one file in place from interleaving: one
// lock per file identity (device and inode), whatever name the file was
// reached by. A save takes it before it truncates the file and gives it back
// once the last byte is written, so the file ends as one whole picture.
// Other processes are not held back.
//
// Not tied to a thread: the save that holds it may give it back from any
// thread. Acquire blocks while another object holds the same identity.
// One object holds at most one identity at a time. A forked child starts
// with nothing held, since the threads that held files are not there.
class FileWriteLock {
 public:
  FileWriteLock() = default;
  FileWriteLock(const FileWriteLock&) = delete;
  FileWriteLock& operator=(const FileWriteLock&) = delete;
  // Gives back what is held.
  ~FileWriteLock();

  // Waits until no other object holds the file, then holds it. Answers
  // false, holding nothing, where the registry cannot grow (no memory) or
  // this object already holds a file.
  bool Acquire(dev_t device, ino_t inode);
  // Gives back the file held, if any.
  void Release();

 private:
  bool held = false;
  dev_t device = 0;
  ino_t inode = 0;
};

}  // namespace KVO

#endif  // RUNTIME_FILEWRITELOCK_H_
