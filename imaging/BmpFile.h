#ifndef IMAGING_BMPFILE_H_
#define IMAGING_BMPFILE_H_

#include <memory>

#include "imaging/AbstractImageFile.h"

namespace KVO {

// Uncompressed BMP files (Windows 3 layout: 14-byte file header, 40-byte
// info header, a 1024-byte grey palette for one channel, rows bottom-up,
// each padded with zero bytes to a multiple of 4).
//
// Writing: 8 * channels bits per pixel; data offset 1078 for one channel
// (palette entry i is the bytes i, i, i, i), else 54. The stride is honoured.
//
// Reading is lenient about the signature, planes and size fields, but never
// delivers bytes that are not the picture: GetInfo refuses every compression
// but none, except bit fields whose masks are B, G, R (and alpha or none)
// bytes at 24 or 32 bits per pixel, and refuses one-channel files whose
// palette (after the info header, 256 entries unless the header counts
// fewer) is not entry i = i, i, i. A negative height means top-down rows:
// the rows are delivered in file order and IsFlipped() answers true.
// channels is bits per pixel / 8, so 1- and 4-bit files report 0 channels
// and read nothing. A one-channel file whose data offset says 54 is read
// from 1078. GetInfo also refuses a height of -2^31, bits per pixel other
// than 1, 4, 8, 16, 24, 32, and pictures beyond 2,147,483,647 elements.
//
// An object serves one file for its life: a second Open is refused and only
// the destructor closes the file. Not thread-safe; prints nothing.
class BmpFile : public AbstractImageFile {
 public:
  BmpFile() = default;

  bool Open(const char* fileName, bool forReading) override;
  // Clears the ready flag, reads the headers, sets it again on success.
  bool GetInfo() override;
  // Null dst or a data offset of 0: false, ready flag kept. A failed seek or
  // short read: false, ready flag clear, rows read so far stay in dst.
  bool ReadFile(unsigned char* dst) override;
  // Null data, channels outside 1..4, or an image whose file size or
  // geometry does not fit the header's fields (file size above 4 GiB - 1,
  // width or height above 2^31 - 1): false, nothing written, ready flag
  // kept. A short write: false with the ready flag clear; what was written
  // stays in the file. Stores the geometry, which the accessors then report.
  bool WriteFile(unsigned int width, unsigned int height, unsigned int channels,
                 const unsigned char* data, unsigned int stride) override;

  // Whether a readable file can hold a picture of this geometry: 1 to 4
  // channels, width and height at most 2^31 - 1, file size at most
  // 4 GiB - 1. Stateless; any thread.
  static bool IsWritable(unsigned int width, unsigned int height, unsigned int channels);

  // Builds the 1024-byte grey palette once; later calls do nothing.
  void MakePalete();

 private:
  int dataOffset = 0;
  std::unique_ptr<unsigned char[]> palette;
};

}  // namespace KVO

#endif  // IMAGING_BMPFILE_H_
