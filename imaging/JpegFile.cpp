#include "imaging/JpegFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "imaging/ImageSize.h"
#include "imaging/JpegErrorManager.h"
#include "runtime/FileAccess.h"

// Every codec step below follows one pattern: the codec object and its
// error manager live on the stack, setjmp marks the way back for fatal
// codec errors, and the branch taken after a jump destroys the codec object
// and releases what the step allocated. Nothing with a destructor is live
// between setjmp and the codec calls, and pointers to memory that must be
// released after a jump are volatile.

namespace KVO {

namespace {

J_COLOR_SPACE ColorSpaceFor(unsigned int channels) {
  return channels == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
}

int ComponentsFor(unsigned int channels) { return channels == 1 ? 1 : 3; }

// Grey or a colour space the codec turns into B, G, R; CMYK, YCCK and
// streams of two or more than four components are not. Arithmetic-coded
// streams are refused when decoding (see JpegErrorManager.h).
bool IsDeliverable(const jpeg_decompress_struct& codec) {
  if (codec.arith_code) return false;
  if (codec.num_components == 1) return codec.jpeg_color_space == JCS_GRAYSCALE;
  return codec.num_components == 3 &&
         (codec.jpeg_color_space == JCS_YCbCr || codec.jpeg_color_space == JCS_RGB);
}

// After a fatal error, frees what the codec's memory destination allocated.
// That destination publishes its buffer only when it finishes: once it has
// grown, the caller's pointer still names the first buffer, which it has
// already freed. Publishing first frees the live buffer instead. Call before
// the codec object is destroyed; the destination lives in its pool.
void FreeMemoryDestination(j_compress_ptr codec, unsigned char** buffer, unsigned long* size) {
  // A null pointer means the first allocation failed: nothing to publish.
  if (codec->dest != nullptr && *buffer != nullptr) (*codec->dest->term_destination)(codec);
  std::free(*buffer);
  *buffer = nullptr;
  *size = 0;
}

}  // namespace

bool JpegFile::IsWritable(unsigned int width, unsigned int height, unsigned int channels) {
  constexpr unsigned int kMaxSide = kMaxJpegDimension;
  return (channels == 1 || channels == 3) && width >= 1 && width <= kMaxSide && height >= 1 &&
         height <= kMaxSide;
}

JpegFile::JpegFile() { channels = 3; }

JpegFile::~JpegFile() {
  Close();
  FreeHeader();
}

bool JpegFile::Open(const char* name, bool forReading) {
  if (name == nullptr) return false;
  fileName = name;
  Close();
  ok = OpenOnce(fileName.c_str(), forReading);
  return ok;
}

int JpegFile::Close() {
  if (file == nullptr) return 0;
  const int result = std::fclose(file);
  file = nullptr;
  return result;
}

bool JpegFile::OpenStream(std::FILE* stream) {
  if (stream == nullptr) return false;
  Close();
  return AbstractImageFile::OpenStream(stream);
}

bool JpegFile::SetJpegBuffer(unsigned char** buffer, unsigned long* size) {
  Close();
  memBuffer = buffer;
  memSize = size;
  ok = true;
  return true;
}

void JpegFile::SetQuality(int newQuality) {
  quality = newQuality;
  FreeHeader();
}

void JpegFile::SetHeadless(bool newHeadless) { headless = newHeadless; }

void JpegFile::SetChannels(int newChannels) { channels = static_cast<unsigned int>(newChannels); }

void JpegFile::FreeHeader() {
  std::free(header);
  header = nullptr;
  headerSize = 0;
}

bool JpegFile::MakeHeader() {
  if (header != nullptr) return true;
  JpegErrorManager errors;
  jpeg_compress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    FreeMemoryDestination(&codec, &header, &headerSize);
    jpeg_destroy_compress(&codec);
    return false;
  }
  jpeg_create_compress(&codec);
  headerSize = 0;
  jpeg_mem_dest(&codec, &header, &headerSize);
  codec.input_components = ComponentsFor(channels);
  codec.in_color_space = ColorSpaceFor(channels);
  jpeg_set_defaults(&codec);
  jpeg_set_quality(&codec, quality, FALSE);
  jpeg_write_tables(&codec);
  jpeg_destroy_compress(&codec);
  return true;
}

// Loads the stored tables into the decoder. Reading a table-only stream
// ends with the decoder reset to its start state but with the tables kept,
// so the image stream that follows may omit them. A complete stream given
// as header is accepted too: its tables are kept the same way.
static void FeedHeader(j_decompress_ptr codec, const unsigned char* header,
                       unsigned long headerSize) {
  jpeg_mem_src(codec, header, headerSize);
  jpeg_read_header(codec, FALSE);
  jpeg_abort_decompress(codec);
}

// Points the decoder at the image stream: the open file, else the caller's
// memory. The codec refuses to switch an existing source manager to another
// kind, so the header's manager is dropped first; it lives in the codec's
// own pool and goes with the codec object.
static void UseSource(j_decompress_ptr codec, std::FILE* file, const unsigned char* data,
                      unsigned long size) {
  codec->src = nullptr;
  if (file != nullptr) {
    jpeg_stdio_src(codec, file);
  } else {
    jpeg_mem_src(codec, data, size);
  }
}

// Creates the decoder, feeds the stored tables in headless mode and reads
// the image stream's header. Fatal errors jump to the caller's setjmp point,
// which must be set before the call.
void JpegFile::StartDecoder(jpeg_decompress_struct* codec, bool requireImage) {
  jpeg_create_decompress(codec);
  BoundJpegDecoder(codec);
  if (headless) FeedHeader(codec, header, headerSize);
  UseSource(codec, file, file ? nullptr : *memBuffer, file ? 0 : *memSize);
  jpeg_read_header(codec, requireImage ? TRUE : FALSE);
}

bool JpegFile::Info() {
  if (headless && !MakeHeader()) return false;
  JpegErrorManager errors;
  jpeg_decompress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&codec);
    return false;
  }
  StartDecoder(&codec, headless);
  // Reported only what Read can deliver, so that a header and a load of the
  // same file agree; a table-only stream has no components.
  const bool deliverable = codec.num_components == 0 || IsDeliverable(codec);
  const unsigned int streamWidth = codec.image_width;
  const unsigned int streamHeight = codec.image_height;
  const unsigned int streamChannels = static_cast<unsigned int>(codec.num_components);
  jpeg_destroy_decompress(&codec);

  if (!deliverable || !CheckedImageElements(streamWidth, streamHeight, streamChannels, nullptr)) {
    return false;
  }
  width = streamWidth;
  height = streamHeight;
  channels = streamChannels;
  return true;
}

bool JpegFile::Read(unsigned char* dst) {
  if (headless && !MakeHeader()) return false;
  JpegErrorManager errors;
  jpeg_decompress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&codec);
    return false;
  }
  StartDecoder(&codec, true);
  codec.out_color_space = ColorSpaceFor(channels);
  jpeg_calc_output_dimensions(&codec);
  // The caller sized dst from what this object reported; a stream that
  // changed since (or was never asked) must not write past it. Once the
  // decoder's rows are known to be exactly the caller's rows, they are
  // decoded in place: a row scratch would only add a copy per row.
  const std::size_t rowBytes =
      static_cast<std::size_t>(codec.output_width) * codec.output_components;
  if (codec.output_width != width || codec.output_height != height ||
      static_cast<unsigned int>(codec.output_components) != channels || rowBytes == 0) {
    jpeg_destroy_decompress(&codec);
    return false;
  }
  StartJpegDecode(&codec);
  while (codec.output_scanline < codec.output_height) {
    // The first decoded row is the top of the picture: it goes last.
    JSAMPROW row = dst + (height - 1 - codec.output_scanline) * rowBytes;
    if (jpeg_read_scanlines(&codec, &row, 1) != 1) break;
  }
  if (codec.output_scanline < codec.output_height) {
    jpeg_destroy_decompress(&codec);
    return false;
  }
  const bool decoded = FinishJpegDecode(&codec, errors);
  jpeg_destroy_decompress(&codec);
  return decoded;
}

bool JpegFile::Write(const unsigned char* data) {
  JpegErrorManager errors;
  jpeg_compress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    if (file == nullptr) FreeMemoryDestination(&codec, memBuffer, memSize);
    jpeg_destroy_compress(&codec);
    return false;
  }
  jpeg_create_compress(&codec);
  if (file != nullptr) {
    jpeg_stdio_dest(&codec, file);
  } else {
    jpeg_mem_dest(&codec, memBuffer, memSize);
  }
  codec.image_width = width;
  codec.image_height = height;
  codec.input_components = ComponentsFor(channels);
  codec.in_color_space = ColorSpaceFor(channels);
  jpeg_set_defaults(&codec);
  // Headless streams must use exactly the tables a header made with the
  // same settings carries, so neither forces baseline tables.
  jpeg_set_quality(&codec, quality, headless ? FALSE : TRUE);
  if (headless) {
    jpeg_suppress_tables(&codec, TRUE);
    jpeg_start_compress(&codec, FALSE);
  } else {
    jpeg_start_compress(&codec, TRUE);
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  while (codec.next_scanline < codec.image_height) {
    // Bottom-up buffer, top-down stream: buffer row height - 1 goes first.
    JSAMPROW row = const_cast<unsigned char*>(data + (height - 1 - codec.next_scanline) * rowBytes);
    jpeg_write_scanlines(&codec, &row, 1);
  }
  jpeg_finish_compress(&codec);
  jpeg_destroy_compress(&codec);
  return true;
}

bool JpegFile::GetInfo() {
  if (file != nullptr) {
    std::rewind(file);
  } else if (memBuffer == nullptr || *memBuffer == nullptr || memSize == nullptr || *memSize == 0) {
    // An empty memory source is a fatal codec error; refuse it here.
    return false;
  }
  ok = Info();
  return ok;
}

bool JpegFile::ReadFile(unsigned char* dst) {
  if (!ok) return false;
  if (dst == nullptr || file == nullptr) return false;
  std::rewind(file);
  ok = Read(dst);
  return ok;
}

bool JpegFile::WriteFile(unsigned int imageWidth, unsigned int imageHeight,
                         unsigned int imageChannels, const unsigned char* data,
                         unsigned int /*stride*/) {
  if (!ok) return false;
  if (file == nullptr || data == nullptr || !IsWritable(imageWidth, imageHeight, imageChannels)) {
    return false;
  }
  width = imageWidth;
  height = imageHeight;
  channels = imageChannels;
  std::rewind(file);
  ok = Write(data);
  return ok;
}

bool JpegFile::ReadFromMemory(unsigned char* dst) {
  if (dst == nullptr || !ok) return false;
  if (memBuffer == nullptr || memSize == nullptr || *memBuffer == nullptr || *memSize == 0) {
    return false;
  }
  ok = Read(dst);
  return ok;
}

bool JpegFile::WriteToMemory(unsigned int imageWidth, unsigned int imageHeight,
                             unsigned int imageChannels, const unsigned char* data) {
  if (!ok) return false;
  if (memBuffer == nullptr || memSize == nullptr || *memBuffer != nullptr || *memSize != 0 ||
      data == nullptr || !IsWritable(imageWidth, imageHeight, imageChannels)) {
    return false;
  }
  width = imageWidth;
  height = imageHeight;
  channels = imageChannels;
  ok = Write(data);
  return ok;
}

void JpegFile::GenerateHeader() { MakeHeader(); }

bool JpegFile::ReadHeaderFromFile(const char* name) {
  headless = true;
  FreeHeader();
  if (name == nullptr) return false;
  std::FILE* stream = OpenRegularFileForReading(name);
  if (stream == nullptr) return false;
  long length = -1;
  if (std::fseek(stream, 0, SEEK_END) == 0) length = std::ftell(stream);
  std::rewind(stream);
  unsigned char* buffer =
      length > 0 ? static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length)))
                 : nullptr;
  const bool read = buffer != nullptr && std::fread(buffer, 1, static_cast<std::size_t>(length),
                                                    stream) == static_cast<std::size_t>(length);
  std::fclose(stream);
  if (!read) {
    std::free(buffer);
    return false;
  }
  header = buffer;
  headerSize = static_cast<unsigned long>(length);
  return true;
}

bool JpegFile::WriteHeaderToFile(const char* name) {
  if (name == nullptr || !MakeHeader()) return false;
  ReplacingFileWriter target;
  std::FILE* stream = target.Open(name);
  if (stream == nullptr) return false;
  const bool written = std::fwrite(header, 1, headerSize, stream) == headerSize;
  return target.Finish(stream, written);
}

void JpegFile::ReadHeaderFromMemory(unsigned char* data, unsigned long size) {
  headless = true;
  FreeHeader();
  if (data == nullptr || size == 0) return;
  unsigned char* copy = static_cast<unsigned char*>(std::malloc(size));
  if (copy == nullptr) return;
  std::memcpy(copy, data, size);
  header = copy;
  headerSize = size;
}

void JpegFile::WriteHeaderToMemory(unsigned char** data, unsigned long* size) {
  if (data == nullptr || size == nullptr) return;
  *data = nullptr;
  *size = 0;
  if (!MakeHeader()) return;
  unsigned char* copy = static_cast<unsigned char*>(std::malloc(headerSize));
  if (copy == nullptr) return;
  std::memcpy(copy, header, headerSize);
  *data = copy;
  *size = headerSize;
}

}  // namespace KVO
