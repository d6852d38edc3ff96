#ifndef IMAGING_ABSTRACTIMAGEFILE_H_
#define IMAGING_ABSTRACTIMAGEFILE_H_

#include <cstdio>

namespace KVO {

// File formats known to the factory. Crosses the exported functions as a
// plain int, so any int value may arrive here; values without a name (3 and
// anything above 4) have no file class.
enum class ImageFileFormat : int {
  Auto = 0,  // guess from the file name first (GuessFormat)
  Bmp = 1,
  Jpeg = 2,
  BayerRaw = 4,
};

// Root of the image file classes. Usage for reading:
//   Open(name, true), GetInfo(), ReadFile(dst), then delete;
// for writing:
//   Open(name, false), WriteFile(...), then delete.
//
// Pixel convention: one byte per channel, pixels interleaved, colour bytes
// in the file's own order (B, G, R from the lowest address, then a fourth
// byte for 32-bit BMP). Buffers handed to ReadFile receive packed rows of
// width * channels bytes; the first row in memory is the bottom row of the
// picture, unless IsFlipped() answers true, in which case it is the top row.
//
// The ready flag (IsOk): clear after construction; Open sets it to whether
// the file opened; GetInfo, ReadFile and WriteFile refuse (false) while it
// is clear, and a step that fails in its file work leaves it clear, so the
// following steps refuse too. Each class documents its own deviations.
//
// Header sizes are untrusted: a successful GetInfo guarantees that
// width * height * channels (and width * height) is at most 2,147,483,647,
// so GetRawSize() is exact.
//
// Not thread-safe: one thread at a time per object. Objects print nothing.
class AbstractImageFile {
 public:
  AbstractImageFile() = default;
  AbstractImageFile(const AbstractImageFile&) = delete;
  AbstractImageFile& operator=(const AbstractImageFile&) = delete;

  // Closes the open file, if any.
  virtual ~AbstractImageFile();

  virtual unsigned int GetWidth() const { return width; }
  virtual unsigned int GetHeight() const { return height; }
  virtual unsigned int GetChannels() const { return channels; }
  // True when ReadFile delivers the top row of the picture first.
  virtual bool IsFlipped() const { return flipped; }
  // width * height * channels in bytes, 32-bit unsigned arithmetic.
  virtual unsigned int GetRawSize() const { return width * height * channels; }
  virtual bool IsOk() const { return ok; }

  // Opens fileName with "rb" (forReading) or "wb" (creates or truncates).
  // Sets the ready flag to whether the file opened and answers the same.
  // Never blocks: reading refuses anything but a regular file (a FIFO,
  // directory or device answers false), writing refuses a FIFO without a
  // reader (OpenRegularFileForReading, OpenForWritingInPlace).
  // A null name is refused (false) without changing anything; BmpFile and
  // BayerFile also refuse an empty name and any Open while a file is open,
  // whereas JpegFile closes its open file and opens the new one.
  virtual bool Open(const char* fileName, bool forReading) = 0;
  // Reads the picture's header; on success width, height, channels and
  // flipped describe the picture. False on refusal or malformed header.
  virtual bool GetInfo() = 0;
  // Reads the pixels into dst, which must hold GetRawSize() bytes.
  // False on refusal (null dst, ready flag clear) or short/damaged data;
  // rows already read may stay in dst.
  virtual bool ReadFile(unsigned char* dst) = 0;
  // Writes height rows of width * channels bytes whose starts lie stride
  // bytes apart in data (0 means packed); data row 0 is the bottom row.
  // data must not be null. Classes that ignore stride read packed rows.
  virtual bool WriteFile(unsigned int width, unsigned int height, unsigned int channels,
                         const unsigned char* data, unsigned int stride) = 0;

  // Answers format unchanged unless it is Auto; then decides from the last
  // character of fileName (case folded): 'P' Bmp, 'G' Jpeg, 'W' BayerRaw,
  // anything else Bmp. Names of at most 5 characters (null counts as empty)
  // give Bmp. Stateless; any thread.
  static ImageFileFormat GuessFormat(const char* fileName, ImageFileFormat format);

  // Answers a new, unopened object for the format: BmpFile, JpegFile (with
  // default settings) or BayerFile; null for Auto and for values without a
  // class. The caller owns the object and deletes it through the virtual
  // destructor, which closes its file. Stateless; any thread.
  static AbstractImageFile* GetImageObject(ImageFileFormat format);

  // Takes ownership of an already open stream (for example from fmemopen or
  // a ReplacingFileWriter) as if Open had opened it, and sets the ready
  // flag. Refused (false, stream not taken) for null and while a file is
  // open; JpegFile's own OpenStream closes its open file first instead.
  bool OpenStream(std::FILE* stream);
  // Hands the open stream (null when none) back to the caller, who then
  // owns it; the object has no file afterwards and its ready flag is clear.
  std::FILE* ReleaseStream();

 protected:
  // Open's shared part for classes that serve one file for their life.
  bool OpenOnce(const char* fileName, bool forReading);

  std::FILE* file = nullptr;  // owned; closed by the destructor
  bool ok = false;
  bool flipped = false;
  unsigned int width = 0;
  unsigned int height = 0;
  unsigned int channels = 0;
};

// One row of the format table, the one place that describes a format: the
// name ending that GuessFormat maps to it, the class GetImageObject makes
// and what the saver may write. A new format needs an enumerator, a class
// and a row.
struct ImageFileFormatTraits {
  ImageFileFormat format;
  // Last character of the names that select the format, in upper case.
  char nameEnding;
  // A new, unopened object of the format's class; the caller owns it.
  AbstractImageFile* (*make)();
  // Whether the class writes a picture of this geometry; a save refuses
  // anything else before it creates or truncates a file.
  bool (*isWritable)(unsigned int width, unsigned int height, unsigned int channels);
  // The class ignores the stride and reads rows packed.
  bool readsPackedRows;
};

// The format's row, or null for Auto and for values without a class.
// Stateless; any thread.
const ImageFileFormatTraits* FindImageFileFormat(ImageFileFormat format);

}  // namespace KVO

#endif  // IMAGING_ABSTRACTIMAGEFILE_H_
