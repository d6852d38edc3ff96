#ifndef IMAGING_IMAGESAVERINTERFACE_H_
#define IMAGING_IMAGESAVERINTERFACE_H_

namespace KVO {

// Abstract face of the image saver. The order of the virtual members is ABI:
// hosts and other modules call through this vtable by slot, so the members
// keep their order.
class ImageSaverInterface {
 public:
  virtual ~ImageSaverInterface() = default;
  // Writes a BMP file whatever the name says; rows packed. See ImageSaver.
  virtual bool SaveBitmap(const char* fileName, unsigned int width, unsigned int height,
                          unsigned int channels, const unsigned char* data) = 0;
};

}  // namespace KVO

#endif  // IMAGING_IMAGESAVERINTERFACE_H_
