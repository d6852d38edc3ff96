#ifndef IMAGING_JPEGERRORMANAGER_H_
#define IMAGING_JPEGERRORMANAGER_H_

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// The codec's header uses size_t and FILE without declaring them.
#include <jpeglib.h>

namespace KVO {

// The longest side, in pixels, that the codec encodes or decodes.
constexpr int kMaxJpegDimension = JPEG_MAX_DIMENSION;

// Bounds on the work one decode may demand, whatever its file declares.
// Real progressive files carry about ten scans; a file with more scans than
// this is refused.
constexpr int kMaxJpegScans = 500;
// The codec's working memory beyond the caller's pixels. A progressive or
// multi-scan picture keeps every coefficient (2 bytes per pixel of each
// component) for the whole decode: a 16384 x 16384 4:2:0 colour picture
// needs 512 MiB + 2 x 128 MiB = 768 MiB, a few MiB of row buffers besides.
// A demand above this cap is a fatal codec error, like a corrupt stream.
// It also caps a multi-scan picture at 8,388,608 blocks of 8 x 8 samples
// (128 bytes of coefficients each).
constexpr long kMaxJpegWorkingBytes = 1024L * 1024 * 1024;
// The scan work of a multi-scan stream: each scan costs the blocks of its
// components (a scan decodes or skips every one of them, whatever data it
// carries). Before each scan, the blocks of all scans so far, that scan's
// included, may not pass kFreeJpegScanBlocks plus kJpegScanBlocksPerByte for
// each byte the decoder has read since it began decoding (entropy-coded data
// and the markers between scans; the header before the first scan does not
// count). The free allowance is 2 passes over the largest multi-scan
// picture the memory cap admits; a real picture pays for the rest with its
// data: every block needs at least one bit in a component's first (DC)
// scan, which earns 8 blocks, so the DC scans alone pay for 8 passes, and a
// 16384 x 16384 4:2:0 picture in the codec's standard ten-scan progression
// costs 5.3 passes (33.5 million blocks). A block costs a few nanoseconds in
// a first scan of AC coefficients and about 40 in a refinement scan, which
// looks at each coefficient, so the free allowance takes at most about
// 0.7 s of one core, and a stream of a few tens of kilobytes not much more,
// whatever it declares. A single-scan stream is not budgeted: its one scan
// visits each block once and brings at least two bits for each.
constexpr std::uint64_t kFreeJpegScanBlocks = 16ull << 20;
constexpr std::uint64_t kJpegScanBlocksPerByte = 64;

// What the codec's warnings cost a decode. The codec goes on after each
// warning, as every common reader does, but some mean it made samples up or
// lost its place in the data, and a picture with such samples is not the
// file's picture. Those fail the decode; warnings that only report something
// the decoder skipped or ignored, without losing a sample, do not. Any code
// not listed here fails.
//
//   code (and trace)          meaning                             verdict
//   JWRN_EXTRANEOUS_DATA      stray bytes skipped before a        loads
//     before any marker but   header segment, between two scans,
//     the end marker          or before the expected restart
//                             marker after a complete restart
//                             interval: they carry no sample, and
//                             an interval or scan that ran short
//                             shows as JWRN_HIT_MARKER first
//   JWRN_EXTRANEOUS_DATA      stray bytes before the end marker   loads after complete
//     before the end marker   (trailer)                           scans only
//   JWRN_JPEG_EOF             the file ended before its end       loads after complete
//                             marker; the codec supplies one      scans only
//                             (trailer)
//   JWRN_JFIF_MAJOR           unknown JFIF revision; its fields   loads
//                             (density, thumbnail) are read as in
//                             revision 1 and no sample uses them
//   JWRN_NOT_SEQUENTIAL       Ss, Se, Ah or Al out of range in a  loads
//                             sequential scan header; a
//                             sequential decoder ignores them
//   JWRN_ADOBE_XFORM          unknown Adobe colour transform;     loads
//                             the samples are intact and taken as
//                             YCbCr, as other readers take them
//   JWRN_BOGUS_ICC            inconsistent ICC profile segments;  loads
//                             only jpeg_read_icc_profile reports
//                             it, and the library uses no profile
//   JWRN_HIT_MARKER           premature end of a data segment:    fails
//                             the rest of the segment is zeros
//   JWRN_HUFF_BAD_CODE        bad Huffman code: the decoder lost  fails
//                             its place, the rest is made up
//   JWRN_MUST_RESYNC          a marker other than the expected    fails
//                             restart marker: intervals are
//                             skipped or filled
//   JWRN_BOGUS_PROGRESSION    inconsistent progression:           fails
//                             coefficients refined out of order
//   JWRN_ARITH_BAD_CODE       bad arithmetic code (such streams   fails
//                             are refused anyway, see below)
//   JWRN_TOO_MUCH_DATA        more rows asked for than the        fails
//                             picture has; a caller's fault
//   JTRC_PARMLESS_MARKER      a restart marker outside a scan:    fails
//     with a restart marker   a header or a scan's end ran into
//     (a trace, not a         scan data
//     warning)
//
// A trailer warning keeps the picture only when the scans were complete: in
// a progressive stream, every coefficient refined to full precision. Damage
// counted while the header is read fails the decode at its first step; once
// decoding has begun it fails at once.
//
// What no warning shows: bytes changed or cut inside a restart interval or
// a scan can leave no other sign than stray bytes before the next marker,
// exactly like an encoder's padding. Such a stream loads, as it does in
// every common reader.

// A codec error manager whose fatal-error handler returns control to the
// caller's setjmp point instead of ending the process. For decoders it also
// carries the bounds above and sorts the codec's warnings.
//
// Use: declare one on the stack with the codec object, point the codec
// object's err at InstallJpegErrorManager(&manager), then
//   if (setjmp(manager.jump)) { destroy the codec object; release; fail }
// before the first codec call. Between setjmp and the codec calls that may
// jump, no object with a non-trivial destructor may be live, and locals
// changed after setjmp and read after the jump must be volatile. A decoder
// calls BoundJpegDecoder(codec) right after jpeg_create_decompress, starts
// with StartJpegDecode and ends with FinishJpegDecode.
//
// The codec's messages (errors, and the first warning) still go to standard
// error through its standard output_message.
struct JpegErrorManager {
  jpeg_error_mgr pub;  // must stay first: the codec only knows this part
  std::jmp_buf jump;
  jpeg_progress_mgr progress;
  void (*standardEmit)(j_common_ptr, int) = nullptr;
  boolean (*standardFill)(j_decompress_ptr) = nullptr;
  // Messages that mean samples were lost or made up (the table above).
  int dataWarnings = 0;
  // Warnings about the stream's end: no end marker, or stray bytes before it.
  int trailerWarnings = 0;
  // Bit i set once component i has been part of a scan.
  unsigned int scannedComponents = 0;
  // Set when decoding begins (the first progress call); from then on a
  // warning about the data ends the decode at once.
  bool decoding = false;
  // The scan last counted, and the blocks of all scans counted so far.
  int countedScan = 0;
  std::uint64_t scanBlocks = 0;
  // Bytes the source has offered since decoding began, read or not.
  std::uint64_t offeredBytes = 0;
};

// Fills manager with the codec's standard routines except error_exit and
// emit_message, and answers the pointer to store in the codec object's err.
jpeg_error_mgr* InstallJpegErrorManager(JpegErrorManager* manager);

// Applies the bounds above to a decoder whose err came from
// InstallJpegErrorManager. Call after jpeg_create_decompress, before reading
// the header. From then on the codec jumps back to the manager's setjmp
// point, as on any fatal error, when:
//   - a bound is passed (scans, working memory, scan work);
//   - the codec reports damage (the table above) while decoding (also while
//     it takes in the scans of a multi-scan stream), or before decoding
//     began, at its first step;
//   - the stream is arithmetic-coded, before any of its scan data is
//     decoded. Arithmetic-coded data that ends early is, by the format's own
//     rule, padded with zeros without any warning, and legitimate streams do
//     meet their end marker rows before their last block, so missing data
//     cannot be told from a legitimate stream: such streams are refused.
// The source manager must be in place before decoding starts; the bound
// wraps its fill_input_buffer to count the bytes read. The scan bounds and
// the scan-work budget hold only without buffered-image mode: they are
// checked in the progress monitor, which jpeg_start_decompress and
// jpeg_read_scanlines call but jpeg_consume_input, the way that mode takes
// in scans, does not.
void BoundJpegDecoder(j_decompress_ptr codec);

// jpeg_start_decompress, and for a stream whose scans it has taken in
// whole (every multi-scan stream) the verdict of FinishJpegDecode before a
// single row is made: a decode that cannot answer true jumps back at once.
void StartJpegDecode(j_decompress_ptr codec);

// Finishes a decode that has read every row (jpeg_finish_decompress) and
// answers whether it delivered a true picture: nothing went wrong in the
// scan data, every component of the frame was part of a scan, and any
// complaint about the stream's end came after complete scans (in a
// progressive stream, every coefficient refined to full precision). A fatal
// error jumps back as usual.
bool FinishJpegDecode(j_decompress_ptr codec, const JpegErrorManager& manager);

}  // namespace KVO

#endif  // IMAGING_JPEGERRORMANAGER_H_
