#ifndef IMAGING_IMAGESAVER_H_
#define IMAGING_IMAGESAVER_H_

#include "imaging/AbstractImageFile.h"
#include "imaging/ImageSaverInterface.h"
#include "imaging/UserDataImageBuffer.h"

namespace KVO {

// Writes a caller's pixels to an image file in one call. Keeps no state:
// saves to different files may run on different threads at once.
//
// Pixels: one byte per channel, interleaved (B, G, R from the lowest address
// for colour), rows `stride` bytes apart (0 meaning width * channels), and
// the first row in memory is the bottom row of the picture. The caller's
// memory is only read.
//
// What a save writes, by format (Auto guesses from the name's last
// character):
//   Bmp      1 to 4 channels (grey palette for one channel); any other
//            count answers false;
//   Jpeg     1 (grey) or 3 channels at quality 80, width and height 1 to
//            65,500;
//   BayerRaw only an image of 0 x 0 x 0 (an empty file);
//   3, > 4   nothing.
// Every refusal answers false and prints nothing. A save that would be
// refused (null pixels, a format without a class, an image of a channel
// count or size its format cannot hold, a BMP whose size fields would
// overflow) is refused before the file is opened, so nothing is created or
// changed.
//
// The file is written through a ReplacingFileWriter (its header states the
// whole rule; a link's target is written and the link stays). A new file,
// or a regular file with one link whose owner and group the saver can keep,
// is written aside and renamed into place once every byte is written and
// closed (an existing file's replacement synced first), so a failed save
// leaves an existing file byte for byte and no temporary behind. Everything
// else is written in place and keeps its inode, links, owner, group and
// mode: a file with more links or of an owner or group the saver cannot
// give a new file, a device, a name in /proc (/dev/stdout and its kin write
// through the process's own descriptor), a file whose folder admits no
// temporary or refuses the rename, a path too long for the temporary's
// name; there a failed write leaves what was written. Opening never blocks:
// a FIFO without a reader and a directory are refused at once.
class ImageSaver : public ImageSaverInterface {
 public:
  ImageSaver() = default;
  ~ImageSaver() override = default;

  // The general save; stride in bytes, honoured by every format.
  static bool Save(const char* fileName, unsigned int width, unsigned int height,
                   unsigned int channels, const unsigned char* data, ImageFileFormat format,
                   unsigned int stride);
  // The same with the image's width, height, channels, begin and stride.
  static bool Save(const char* fileName, const ImageBase<unsigned char>& image,
                   ImageFileFormat format);

  // BMP whatever the name says, rows packed.
  bool SaveBitmap(const char* fileName, unsigned int width, unsigned int height,
                  unsigned int channels, const unsigned char* data) override;
  static bool StaticSaveBitmap(const char* fileName, unsigned int width, unsigned int height,
                               unsigned int channels, const unsigned char* data);
  // BMP of the image's width, height, channels and begin; its stride is not
  // used, so its rows are taken packed.
  bool SaveBitmap(const char* fileName, const ImageBase<unsigned char>& image);
};

}  // namespace KVO

#endif  // IMAGING_IMAGESAVER_H_
