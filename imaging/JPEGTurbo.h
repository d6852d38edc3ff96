#ifndef IMAGING_JPEGTURBO_H_
#define IMAGING_JPEGTURBO_H_

namespace KVO {

// Whole-picture JPEG helpers that need no object. Unlike JpegFile they print
// a message when a file does not open, and ReadJPEG delivers rows top-down.
// The readers open only regular files and never block (a FIFO, directory
// or device counts as a file that does not open); WriteJPEG saves through
// a ReplacingFileWriter, so a failed write leaves an existing file as it
// was wherever that writer renames (its header says where it writes in
// place instead).
// Codec failures never end the process: the codec's message goes to
// standard error and the function reports failure. Stateless; any thread.
class JPEGTurbo {
 public:
  // Writes a complete baseline JPEG to fileName (created or replaced).
  //   quality: 1..100, passed to the codec.
  //   width, height: 1..65500 pixels.
  //   data: height packed rows of width * 3 bytes, B, G, R from the lowest
  //         address; the first row in memory is the bottom row.
  // False for refused arguments, a file that does not open (after printing
  // "can't open <name>" on standard error) or a codec failure.
  static bool WriteJPEG(const char* fileName, int quality, int width, int height,
                        unsigned char* data);

  // Decodes fileName. Rows are top-down: the first row in memory is the top
  // row. Three-component pictures come as B, G, R; others as the codec
  // outputs them (grey: one byte per pixel).
  //   out: null to have a buffer of width * height * components bytes
  //        allocated with malloc (the caller frees it with free), or a
  //        caller's buffer of at least that size.
  //   rowScratch: null, or a caller's buffer of width * components bytes.
  // Answers the buffer holding the picture, or null when the file does not
  // open (after printing "Error opening jpeg file <name>" on standard
  // output), the picture exceeds 2,147,483,647 bytes, allocation fails, or
  // the codec fails or warns of corrupt scan data (a buffer allocated here
  // is freed then), a component is in no scan, or the stream is
  // arithmetic-coded. A missing end marker or stray bytes before it are
  // accepted after complete scans. Decoding is bounded as in JpegFile: more
  // than kMaxJpegScans scans, codec memory beyond kMaxJpegWorkingBytes
  // besides the picture, or scan work beyond kFreeJpegScanBlocks plus
  // kJpegScanBlocksPerByte per byte read answer null.
  static unsigned char* ReadJPEG(const char* fileName, unsigned char* out,
                                 unsigned char* rowScratch);

  // Reads the dimensions and component count of fileName. False when the
  // file does not open (message as ReadJPEG) or the header is not valid;
  // the outputs are written only on success.
  static bool GetJPEGInfo(const char* fileName, int* width, int* height, int* components);

  // Flips data (height rows of width * channels bytes) vertically through
  // scratch, which must hold the same number of bytes. Nothing happens for
  // height or width or channels of 0 or less.
  static void FlipJPEG(unsigned char* data, int width, int height, int channels,
                       unsigned char* scratch);
};

}  // namespace KVO

#endif  // IMAGING_JPEGTURBO_H_
