#ifndef RUNTIME_FILEACCESS_H_
#define RUNTIME_FILEACCESS_H_

#include <cstdio>
#include <string>

namespace KVO {

// Opens `path` for reading ("rb") without ever blocking, and only when it
// names a regular file (symbolic links followed): a FIFO, directory, device
// or socket answers null before a byte is read, with errno EINVAL; a path
// that does not open answers null with the open's errno. The caller owns
// the stream and closes it with fclose. The descriptor is close-on-exec.
// Any thread.
std::FILE* OpenRegularFileForReading(const char* path);

// Creates or truncates `path` for writing ("wb") without ever blocking: a
// FIFO that no process reads answers null at once, a directory null. A FIFO
// with a reader and a device (/dev/null, /dev/full) are opened and later
// written as usual (blocking). The caller owns the stream. Any thread.
std::FILE* OpenForWritingInPlace(const char* path);

// A save that never loses the file it replaces. Open resolves symbolic
// links and, for a regular file or a name not yet taken, creates a unique
// temporary file in the target's folder; Finish flushes, syncs and closes it
// and only then renames it over the target. A failure at any point removes
// the temporary, so the target keeps every byte it had.
//
// The replacement keeps the target's permission bits (and, where the
// process may, its owner); a new file gets 0666 less the umask, as fopen
// would. A target that is a link has the file it points to replaced; the
// link stays. Written in place, as a plain fopen "wb" would:
//   - a device or a FIFO with a reader (no temporary is meaningful there);
//   - a writable file in a folder where no temporary may be created (no
//     write permission on the folder); then a failure leaves what was
//     written.
// Refused at Open (null, nothing created or changed): a FIFO without a
// reader, a directory, an existing file the process may not write, and a
// temporary that cannot be made for any reason other than permissions
// (a full disk, for example).
//
// One object serves one save, on one thread.
class ReplacingFileWriter {
 public:
  ReplacingFileWriter() = default;
  ReplacingFileWriter(const ReplacingFileWriter&) = delete;
  ReplacingFileWriter& operator=(const ReplacingFileWriter&) = delete;
  // Removes a temporary that Finish did not rename.
  ~ReplacingFileWriter();

  // Answers the stream to write ("wb", positioned at 0), or null on refusal.
  // The caller owns the stream until it hands it to Finish (or closes it
  // itself, which abandons the save). A second Open answers null.
  std::FILE* Open(const char* path);

  // Closes `stream` (the one Open answered; null counts as a failed write).
  // With `written` true, flushes and closes with every result checked and
  // then puts the file in place; answers whether all of that succeeded.
  // With `written` false the save is abandoned: a temporary is removed, an
  // in-place file keeps what was written; answers false.
  bool Finish(std::FILE* stream, bool written);

 private:
  std::string target;     // the resolved path that is replaced
  std::string temporary;  // empty when writing in place or after Finish
};

}  // namespace KVO

#endif  // RUNTIME_FILEACCESS_H_
