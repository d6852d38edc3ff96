#ifndef IMAGING_JPEGFILE_H_
#define IMAGING_JPEGFILE_H_

#include <cstdio>
#include <string>

#include "imaging/AbstractImageFile.h"

struct jpeg_decompress_struct;

namespace KVO {

// JPEG files and in-memory JPEG streams through libjpeg-turbo.
//
// Pixels: one byte per channel, packed rows of width * channels bytes
// (stride ignored), the first row in memory is the bottom row of the picture,
// both when reading and writing. One channel is grey; three channels are
// B, G, R from the lowest address.
//
// Modes: file mode after Open, memory mode after SetJpegBuffer. In memory
// mode the object works on the caller's stream pointer and stream length
// through the two addresses given to SetJpegBuffer; both must stay valid
// while the object uses them.
//
// Headless mode: image streams carry no tables; one table-only stream (the
// header) is kept in the object, made from the object's quality and
// channels on demand, or read from a file or memory, and fed to the
// decoder ahead of every image stream.
//
// Codec failures never end the process: the codec's message goes to
// standard error and the step answers false with the ready flag clear. A
// decode answers false, ending at the codec's first warning of corrupt or
// missing scan data (the rows decoded so far may stay in the buffer), when a
// component of the frame is in no scan, and for arithmetic-coded streams
// (GetInfo refuses those too); a missing end marker or stray bytes before it
// do not fail a decode whose scans were complete. Every decode is bounded:
// more than kMaxJpegScans (500) scans, codec working memory beyond the
// caller's pixels above kMaxJpegWorkingBytes (1 GiB), or scans of a
// multi-scan stream covering more than 67,108,864 blocks of 8 x 8 samples
// plus 64 per byte read, answer false (see JpegErrorManager.h).
//
// Ready flag: GetInfo does not need it and sets it to its result; ReadFile,
// WriteFile, ReadFromMemory and WriteToMemory need it and set it to their
// result (argument refusals leave it unchanged); SetJpegBuffer sets it.
// Not thread-safe; objects on different threads do not interact.
class JpegFile : public AbstractImageFile {
 public:
  // Quality 80, not headless, 3 channels, no file, no memory stream.
  JpegFile();
  // Closes the open file and frees the stored header.
  ~JpegFile() override;

  // Stores the name, closes any open file, opens the new one with "rb" or
  // "wb" (never blocking, as AbstractImageFile::Open says) and sets the
  // ready flag to whether it opened. Null name: false, nothing changed.
  // Unlike the other classes an object may be reopened.
  bool Open(const char* fileName, bool forReading) override;
  // Closes the open file if any; answers fclose's result, 0 when none.
  // The ready flag is not touched.
  int Close();
  // Takes ownership of an already open stream as the open file (closing a
  // previous one); null is refused. Sets the ready flag.
  bool OpenStream(std::FILE* stream);

  // Switches to memory mode: closes the open file and stores the addresses
  // of the caller's stream pointer and stream length. Sets the ready flag.
  bool SetJpegBuffer(unsigned char** buffer, unsigned long* size);
  // Quality for the codec (1..100 expected, passed on unchecked). Discards
  // the stored header so the next headless step makes a new one.
  void SetQuality(int quality);
  void SetHeadless(bool headless);
  // Channel count used as colour space (1 grey, otherwise B, G, R) when
  // reading and when making a header; the stored header is kept.
  void SetChannels(int channels);

  // Reads the stream's header (rewinding the open file first; else the
  // caller's stream, which must be non-null with a length above 0, or the
  // call answers false with the ready flag unchanged). Sets width, height,
  // channels (the stream's component count) and the ready flag to the
  // result. Streams that cannot be read as 1 or 3 channels (CMYK, YCCK,
  // two components) answer false. A table-only stream read while not
  // headless reports 0 x 0 x 0 and succeeds.
  bool GetInfo() override;
  // Decodes the open file (rewound first) into dst, which must hold
  // width * height * channels bytes as reported. Refused unless the stream's
  // width, height and output components equal the object's width, height
  // and channels. Null dst or no open file: false, ready flag unchanged.
  bool ReadFile(unsigned char* dst) override;
  // Encodes into the open file (rewound first). Refused before the codec is
  // touched for channels other than 1 and 3, width or height outside
  // 1..65500, null data, or no open file. Stores the geometry.
  bool WriteFile(unsigned int width, unsigned int height, unsigned int channels,
                 const unsigned char* data, unsigned int stride) override;

  // Whether the encoder takes a picture of this geometry: 1 or 3 channels,
  // width and height 1 to 65,500. Stateless; any thread.
  static bool IsWritable(unsigned int width, unsigned int height, unsigned int channels);

  // Decodes the caller's stream into dst as ReadFile does. Refused for null
  // dst, unset addresses, a null stream pointer or a length of 0.
  bool ReadFromMemory(unsigned char* dst);
  // Encodes into a new stream allocated with malloc: afterwards the caller's
  // stream pointer and length describe it and the caller frees it with free.
  // Refused unless the caller's stream pointer is null and its length 0
  // (so reset both before a second call), and for the geometry refusals of
  // WriteFile. On failure the pointer is null and the length 0.
  bool WriteToMemory(unsigned int width, unsigned int height, unsigned int channels,
                     const unsigned char* data);

  // Makes the table-only header from quality and channels when none is
  // stored. On a codec failure no header is stored.
  void GenerateHeader();
  // Sets headless; replaces the stored header with the whole content of
  // fileName. False (and no header stored) when the file does not open, is
  // not a regular file, is empty, or cannot be read completely.
  bool ReadHeaderFromFile(const char* fileName);
  // Makes the header when none is stored and writes it to fileName through
  // a ReplacingFileWriter, so a failure leaves an existing file as it was
  // wherever that writer renames (its header says where it writes in place).
  // False when there is no header, the file does not open or the write,
  // flush or close fails.
  bool WriteHeaderToFile(const char* fileName);
  // Sets headless; replaces the stored header with a copy of size bytes at
  // data. Null data, size 0 or a failed allocation leave no header.
  void ReadHeaderFromMemory(unsigned char* data, unsigned long size);
  // Makes the header when none is stored and hands the caller a malloc'd
  // copy (freed with free) and its length; null and 0 when there is none.
  void WriteHeaderToMemory(unsigned char** data, unsigned long* size);

 private:
  void StartDecoder(jpeg_decompress_struct* codec, bool requireImage);
  bool Info();
  bool Read(unsigned char* dst);
  bool Write(const unsigned char* data);
  bool MakeHeader();
  void FreeHeader();

  std::string fileName;
  int quality = 80;
  bool headless = false;
  unsigned char* header = nullptr;  // malloc'd table-only stream, owned
  unsigned long headerSize = 0;
  unsigned char** memBuffer = nullptr;  // caller's stream pointer, not owned
  unsigned long* memSize = nullptr;     // caller's stream length, not owned
};

}  // namespace KVO

#endif  // IMAGING_JPEGFILE_H_
