#ifndef RUNTIME_DESCRIPTORSTREAM_H_
#define RUNTIME_DESCRIPTORSTREAM_H_

#include <cstddef>
#include <cstdio>

namespace KVO {

// Streams ("wb") that write a descriptor from where it stands and know
// their position, so that they ask the kernel nothing they were not told:
// no fstat at the open, no lseek at a rewind or ftell to where the stream
// stands. Each carries its own 64 KiB buffer, freed with it by fclose. The
// caller owns a stream. None of these keeps state: any thread.

// Writes all `size` bytes of `bytes` to `fd` from where it stands unless
// the descriptor fails; answers how many arrived. Retries after a signal; a
// descriptor set not to block (O_NONBLOCK, which a duplicate shares with
// its owner) is waited on for room, as a blocking one would be.
std::size_t WriteAll(int fd, const char* bytes, std::size_t size);

// The stream of a file this writer created itself, which blocks already and
// stands at its start; a seek elsewhere goes to the kernel. The writer keeps
// the descriptor: closing the stream leaves `fd` open, and `fd` must stay
// open until then. Null where no memory is left.
std::FILE* StreamOf(int fd);

// Whether `descriptor` is one of the process's own, open for writing;
// false for a negative one or one not open.
bool WritableDescriptor(int descriptor);

// Writes through a duplicate of the process's own descriptor (open for
// writing): the picture then lands where the descriptor stands, and its
// later writes follow it. The stream never moves the shared position
// itself: a seek to where it stands succeeds, one elsewhere fails (ESPIPE).
// Closing the stream closes the duplicate (close-on-exec), never
// `descriptor`. Null with errno where the descriptor is a socket (ENXIO), a
// pipe or FIFO that nobody reads (EPIPE), or cannot be duplicated; null
// where no memory is left.
std::FILE* OpenThroughDescriptor(int descriptor);

}  // namespace KVO

#endif  // RUNTIME_DESCRIPTORSTREAM_H_
