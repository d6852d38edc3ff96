#ifndef IMAGING_JPEGERRORMANAGER_H_
#define IMAGING_JPEGERRORMANAGER_H_

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// The codec's header uses size_t and FILE without declaring them.
#include <jpeglib.h>

namespace KVO {

// The longest side, in pixels, that the codec encodes or decodes.
constexpr int kMaxJpegDimension = JPEG_MAX_DIMENSION;

// Bounds on the work one decode may demand, whatever its file declares.
// Real progressive files carry about ten scans; a file with more scans than
// this is refused, which caps decoding time at this many passes over the
// picture's coefficients.
constexpr int kMaxJpegScans = 500;
// The codec's working memory beyond the caller's pixels. A progressive or
// multi-scan picture keeps every coefficient (2 bytes per pixel of each
// component) for the whole decode: a 16384 x 16384 4:2:0 colour picture
// needs 512 MiB + 2 x 128 MiB = 768 MiB, a few MiB of row buffers besides.
// A demand above this cap is a fatal codec error, like a corrupt stream.
constexpr long kMaxJpegWorkingBytes = 1024L * 1024 * 1024;

// A codec error manager whose fatal-error handler returns control to the
// caller's setjmp point instead of ending the process. For decoders it also
// carries the scan bound and sorts the codec's warnings.
//
// Use: declare one on the stack with the codec object, point the codec
// object's err at InstallJpegErrorManager(&manager), then
//   if (setjmp(manager.jump)) { destroy the codec object; release; fail }
// before the first codec call. Between setjmp and the codec calls that may
// jump, no object with a non-trivial destructor may be live, and locals
// changed after setjmp and read after the jump must be volatile. A decoder
// calls BoundJpegDecoder(codec) right after jpeg_create_decompress.
//
// The codec's messages (errors, and the first warning) still go to standard
// error through its standard output_message.
struct JpegErrorManager {
  jpeg_error_mgr pub;  // must stay first: the codec only knows this part
  std::jmp_buf jump;
  jpeg_progress_mgr progress;
  void (*standardEmit)(j_common_ptr, int) = nullptr;
  // Warnings about missing or corrupt data (every warning but the two
  // below).
  int dataWarnings = 0;
  // Warnings about the stream's end: no end marker, or stray bytes before it.
  int trailerWarnings = 0;
  // Bit i set once component i has been part of a scan.
  unsigned int scannedComponents = 0;
};

// Fills manager with the codec's standard routines except error_exit and
// emit_message, and answers the pointer to store in the codec object's err.
jpeg_error_mgr* InstallJpegErrorManager(JpegErrorManager* manager);

// Applies the scan bound and the working-memory cap to a decoder whose err
// came from InstallJpegErrorManager. Call after jpeg_create_decompress,
// before reading the header. Beyond either bound the codec jumps back to
// the manager's setjmp point like on any fatal error.
void BoundJpegDecoder(j_decompress_ptr codec);

// Finishes a decode that has read every row (jpeg_finish_decompress) and
// answers whether it delivered a true picture: nothing went wrong in the
// scan data, and any complaint about the stream's end came after complete
// scans (every component part of a scan and, in a progressive stream, every
// coefficient refined to full precision). A fatal error jumps back as usual.
bool FinishJpegDecode(j_decompress_ptr codec, const JpegErrorManager& manager);

}  // namespace KVO

#endif  // IMAGING_JPEGERRORMANAGER_H_
