// The UTIL_ image exports: thin wrappers over the image loader and saver.
#include "TolvenixUtilities.h"
#include "imaging/ImageLoader.h"
#include "imaging/ImageSaver.h"

bool UTIL_LoadImageToBuffer(char const* path, unsigned int* width, unsigned int* height,
                            unsigned int* channels, unsigned int bufferSize, unsigned char* buffer,
                            int desiredChannels, int format) {
  unsigned int fileWidth = 0;
  unsigned int fileHeight = 0;
  unsigned int fileChannels = 0;
  bool result = true;
  {
    KVO::ImageLoader loader;
    const auto fileFormat = static_cast<KVO::ImageFileFormat>(format);
    if (!buffer || bufferSize == 0) {
      // Header-only mode: a missing file shows only as zero outputs.
      loader.GetInfo(path, fileWidth, fileHeight, fileChannels, fileFormat);
    } else {
      // A negative count would arrive as a huge one; the loader refuses it.
      result = loader.LoadSingleInBuffer(
          path, fileWidth, fileHeight, fileChannels, bufferSize, buffer,
          static_cast<KVO::DesiredChannelsEnum>(static_cast<unsigned int>(desiredChannels)),
          fileFormat);
    }
  }
  if (width) *width = fileWidth;
  if (height) *height = fileHeight;
  if (channels) *channels = fileChannels;
  return result;
}

bool UTIL_SaveImageFromBuffer(char const* path, unsigned int width, unsigned int height,
                              unsigned int channels, unsigned char* pixels, int format,
                              int stride) {
  if (!pixels) return false;
  // A negative stride would reach the writers as a distance of gigabytes.
  if (stride < 0) return false;
  KVO::ImageSaver saver;
  return saver.Save(path, width, height, channels, pixels,
                    static_cast<KVO::ImageFileFormat>(format), static_cast<unsigned int>(stride));
}
