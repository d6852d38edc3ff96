#ifndef IMAGING_BAYERFILE_H_
#define IMAGING_BAYERFILE_H_

#include "imaging/AbstractImageFile.h"

namespace KVO {

// Headerless raw Bayer files of one fixed geometry: exactly 3376 x 2704
// one-byte samples (9,128,704 bytes), the file's first row the top row.
// Read as a one-channel image, not demosaiced; ReadFile turns the rows
// bottom-up. The size is the only mark of the format.
//
// An object serves one file for its life (second Open refused). WriteFile
// neither needs to change nor changes the ready flag beyond refusing while
// it is clear. Not thread-safe; prints nothing.
class BayerFile : public AbstractImageFile {
 public:
  static constexpr unsigned int kWidth = 3376;
  static constexpr unsigned int kHeight = 2704;
  static constexpr long kFileBytes = 3376L * 2704L;

  BayerFile() = default;

  bool Open(const char* fileName, bool forReading) override;
  // Any file size other than kFileBytes: false with the ready flag clear.
  bool GetInfo() override;
  // Reads from the current position (no rewind); every row is attempted even
  // after a short read. Null dst: false, ready flag kept. Otherwise the flag
  // ends as the result: whether all GetRawSize() bytes were read.
  bool ReadFile(unsigned char* dst) override;
  // Accepts only the geometry the object holds (so after Open for writing
  // only 0 x 0 x 0); ignores stride; writes the packed buffer in buffer
  // order from the start of the file. Answers whether every byte was
  // written. Never changes the ready flag.
  bool WriteFile(unsigned int width, unsigned int height, unsigned int channels,
                 const unsigned char* data, unsigned int stride) override;

  // Whether a file opened for writing can take a picture of this geometry:
  // only 0 x 0 x 0, since such a file has no geometry to match. Stateless;
  // any thread.
  static bool IsWritable(unsigned int width, unsigned int height, unsigned int channels);

  // Reads height rows of width * channels bytes from the start of fileName
  // into dst, the first row read into the last row of dst. Checks neither
  // the file's size nor the geometry, except that more than 2,147,483,647
  // bytes is refused. Answers whether all bytes were read; false when the
  // file does not open, is not a regular file, or dst is null.
  static bool LoadFile(const char* fileName, unsigned char* dst, unsigned int width,
                       unsigned int height, unsigned int channels);
};

}  // namespace KVO

#endif  // IMAGING_BAYERFILE_H_
