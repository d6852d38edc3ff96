#ifndef IMAGING_IMAGELOADERINTERFACE_H_
#define IMAGING_IMAGELOADERINTERFACE_H_

#include <memory>

#include "imaging/AbstractImageFile.h"

namespace KVO {

// The channel count a load is to deliver. Values above 4 are refused by
// every load.
enum class DesiredChannelsEnum : unsigned int {
  AsFile = 0,  // the file's own channel count
  One = 1,
  OneOrFour = 2,  // 1 for a one-channel file, 4 otherwise
  Three = 3,
  Four = 4,
};

// Abstract face of the image loader. The order of the virtual members is ABI:
// hosts and other modules call through this vtable by slot, so the members
// keep their order.
// Pixels delivered by every load: one byte per channel, interleaved, colour
// channels B, G, R (and a fourth) from the lowest address, rows packed, and
// the first row in memory is the bottom row of the picture.
class ImageLoaderInterface {
 public:
  virtual ~ImageLoaderInterface() = default;

  virtual void SetLoadingQueueMaxLength(unsigned int length) = 0;
  virtual unsigned int GetLoadingQueueMaxLength() = 0;
  virtual unsigned int GetLoadingQueueLength() = 0;

  virtual bool GetInfo(const char* fileName, unsigned int& width, unsigned int& height,
                       unsigned int& channels, ImageFileFormat format) = 0;
  virtual std::unique_ptr<unsigned char[]> LoadSingle(const char* fileName, unsigned int& width,
                                                      unsigned int& height, unsigned int& channels,
                                                      DesiredChannelsEnum desired,
                                                      ImageFileFormat format) = 0;
  virtual bool LoadSingleInBuffer(const char* fileName, unsigned int& width, unsigned int& height,
                                  unsigned int& channels, unsigned int bufferSize,
                                  unsigned char* buffer, DesiredChannelsEnum desired,
                                  ImageFileFormat format) = 0;
  virtual bool LoadSingleInReallocableBuffer(const char* fileName, unsigned int& width,
                                             unsigned int& height, unsigned int& channels,
                                             unsigned int& capacity, long& timestamp,
                                             std::unique_ptr<unsigned char[]>& buffer,
                                             DesiredChannelsEnum desired,
                                             ImageFileFormat format) = 0;

  virtual void LoadSequence(const char* folder, const char* imageSuffix,
                            DesiredChannelsEnum desired, unsigned int startFrame,
                            unsigned int endFrame, unsigned int maxFrameGap, unsigned int frameStep,
                            const char* metadataPrefix, const char* metadataSuffix,
                            ImageFileFormat format) = 0;
  virtual bool RestartSequenceFromBeginning() = 0;
  virtual void CloseInput() = 0;
  virtual unsigned int GetStatus() = 0;
  virtual unsigned int GetNextMediaType() = 0;
  virtual void DiscardNextInput() = 0;
  virtual bool GetNextImageProperties(unsigned int& size, unsigned int& width, unsigned int& height,
                                      unsigned int& channels, unsigned int& frameNumber) = 0;
  virtual bool GetNextImage(unsigned int bufferSize, unsigned char* buffer, unsigned int& width,
                            unsigned int& height, unsigned int& channels,
                            unsigned int& frameNumber) = 0;
  virtual bool GetNextMetadataPacketProperties(unsigned int& size, unsigned int& frameNumber) = 0;
  virtual bool GetNextMetadataPacket(unsigned int bufferSize, unsigned int& size,
                                     unsigned char* buffer, unsigned int& frameNumber) = 0;
};

}  // namespace KVO

#endif  // IMAGING_IMAGELOADERINTERFACE_H_
