#ifndef TESTS_SUPPORT_JPEGSTREAMS_H_
#define TESTS_SUPPORT_JPEGSTREAMS_H_

// JPEG streams made with the codec itself, for files the library never
// writes (progressive, arithmetic-coded, scripted scans), and the cuts that
// damage them scan by scan. No GoogleTest here; codec errors end the
// process, as these only ever encode valid settings.

#include <cstddef>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "tests/support/TestSupport.h"

namespace testsupport {

struct JpegCoding {
  bool arithmetic = false;
  bool progressive = false;           // the codec's own progression
  std::vector<jpeg_scan_info> scans;  // a scan script; overrides progressive
  int quality = 75;
  int lumaSampling[2] = {2, 2};  // colour: horizontal, vertical; chroma 1 x 1
  int restartRows = 0;           // a restart marker every so many MCU rows
  // The pixels' colour space (unset: grey for 1 component, else RGB) and
  // the stream's (unset: the codec's default for it). Luma sampling applies
  // only where the stream is stored as YCbCr.
  std::optional<J_COLOR_SPACE> inColorSpace;
  std::optional<J_COLOR_SPACE> storedColorSpace;
};

// Encodes packed top-down rows of `components` bytes per pixel: 1 grey,
// 3 R, G, B (stored as YCbCr, 4:2:0 unless the coding says otherwise), or as
// the coding's colour spaces say.
Bytes EncodeJpeg(unsigned width, unsigned height, int components, const Bytes& topDownPixels,
                 const JpegCoding& coding);

// Decodes a valid stream with the plain codec API, as any program would:
// top-down rows, grey or B, G, R.
Bytes ReferenceDecodeJpeg(const Bytes& stream);

// Each scan of a stream as [begin, end): its start-of-scan marker up to the
// next marker that is not a restart marker.
std::vector<std::pair<std::size_t, std::size_t>> FindJpegScans(const Bytes& stream);

// Offset of the first 0xFF `marker` pair at or after `from`, or the stream's size.
std::size_t FindJpegMarker(const Bytes& stream, unsigned char marker, std::size_t from = 0);

// Offset just past the header of the scan whose marker is at `scan`.
std::size_t JpegScanHeaderEnd(const Bytes& stream, std::size_t scan);

// The stream's first `at` bytes, then an end marker.
Bytes CutJpegAt(const Bytes& stream, std::size_t at);

// Rewrites the frame header's height and width; false without a frame.
bool SetJpegFrameSize(Bytes* stream, unsigned width, unsigned height);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_JPEGSTREAMS_H_
