#include "imaging/JPEGTurbo.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imaging/ImageSize.h"
#include "imaging/JpegErrorManager.h"
#include "runtime/FileAccess.h"

// Each function keeps its codec object and error manager on the stack and
// returns through the setjmp branch after a fatal codec error; see
// JpegErrorManager.h for the rules that keeps this sound.

namespace KVO {

namespace {

std::FILE* OpenForReading(const char* fileName) {
  std::FILE* stream = OpenRegularFileForReading(fileName);
  if (stream == nullptr) {
    std::printf("Error opening jpeg file %s\n!", fileName);
  }
  return stream;
}

}  // namespace

bool JPEGTurbo::WriteJPEG(const char* fileName, int quality, int width, int height,
                          unsigned char* data) {
  if (fileName == nullptr || data == nullptr || width < 1 || width > kMaxJpegDimension ||
      height < 1 || height > kMaxJpegDimension) {
    return false;
  }
  // Opened before the setjmp point, so the writer is not changed between it
  // and a jump back.
  ReplacingFileWriter target;
  std::FILE* const stream = target.Open(fileName);
  if (stream == nullptr) {
    std::fprintf(stderr, "can't open %s\n", fileName);
    return false;
  }
  JpegErrorManager errors;
  jpeg_compress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&codec);
    target.Finish(stream, false);
    return false;
  }
  jpeg_create_compress(&codec);
  jpeg_stdio_dest(&codec, stream);
  codec.image_width = static_cast<JDIMENSION>(width);
  codec.image_height = static_cast<JDIMENSION>(height);
  codec.input_components = 3;
  codec.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&codec);
  jpeg_set_quality(&codec, quality, TRUE);
  jpeg_start_compress(&codec, TRUE);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  while (codec.next_scanline < codec.image_height) {
    // Bottom-up buffer, top-down stream.
    JSAMPROW row = data + (static_cast<std::size_t>(height) - 1 - codec.next_scanline) * rowBytes;
    jpeg_write_scanlines(&codec, &row, 1);
  }
  jpeg_finish_compress(&codec);
  jpeg_destroy_compress(&codec);
  return target.Finish(stream, true);
}

unsigned char* JPEGTurbo::ReadJPEG(const char* fileName, unsigned char* out,
                                   unsigned char* rowScratch) {
  if (fileName == nullptr) return nullptr;
  std::FILE* stream = OpenForReading(fileName);
  if (stream == nullptr) return nullptr;

  JpegErrorManager errors;
  jpeg_decompress_struct codec{};
  unsigned char* volatile ownOut = nullptr;
  unsigned char* volatile ownScratch = nullptr;
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&codec);
    std::free(ownOut);
    std::free(ownScratch);
    std::fclose(stream);
    return nullptr;
  }
  jpeg_create_decompress(&codec);
  BoundJpegDecoder(&codec);
  jpeg_stdio_src(&codec, stream);
  jpeg_read_header(&codec, TRUE);
  StartJpegDecode(&codec);

  const int components = codec.output_components;
  const std::size_t rowBytes = static_cast<std::size_t>(codec.output_width) * components;
  std::uint64_t totalBytes = 0;
  bool ready = CheckedImageElements(codec.output_width, codec.output_height,
                                    static_cast<std::uint64_t>(components), &totalBytes) &&
               totalBytes != 0;
  unsigned char* picture = out;
  unsigned char* scratch = rowScratch;
  if (ready && picture == nullptr) {
    ownOut = static_cast<unsigned char*>(std::malloc(totalBytes));
    picture = ownOut;
    ready = picture != nullptr;
  }
  if (ready && scratch == nullptr) {
    ownScratch = static_cast<unsigned char*>(std::malloc(rowBytes));
    scratch = ownScratch;
    ready = scratch != nullptr;
  }
  while (ready && codec.output_scanline < codec.output_height) {
    unsigned char* target = picture + codec.output_scanline * rowBytes;
    JSAMPROW row = scratch;
    if (jpeg_read_scanlines(&codec, &row, 1) != 1) break;
    if (components == 3) {
      // The codec's default output is R, G, B; callers get B, G, R.
      for (std::size_t i = 0; i < rowBytes; i += 3) {
        target[i] = scratch[i + 2];
        target[i + 1] = scratch[i + 1];
        target[i + 2] = scratch[i];
      }
    } else {
      std::memcpy(target, scratch, rowBytes);
    }
  }
  ready = ready && codec.output_scanline == codec.output_height && FinishJpegDecode(&codec, errors);
  jpeg_destroy_decompress(&codec);
  std::free(ownScratch);
  std::fclose(stream);
  if (!ready) {
    std::free(ownOut);
    return nullptr;
  }
  return picture;
}

bool JPEGTurbo::GetJPEGInfo(const char* fileName, int* width, int* height, int* components) {
  if (fileName == nullptr) return false;
  std::FILE* stream = OpenForReading(fileName);
  if (stream == nullptr) return false;

  JpegErrorManager errors;
  jpeg_decompress_struct codec{};
  codec.err = InstallJpegErrorManager(&errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&codec);
    std::fclose(stream);
    return false;
  }
  jpeg_create_decompress(&codec);
  BoundJpegDecoder(&codec);
  jpeg_stdio_src(&codec, stream);
  jpeg_read_header(&codec, TRUE);
  if (width != nullptr) *width = static_cast<int>(codec.image_width);
  if (height != nullptr) *height = static_cast<int>(codec.image_height);
  if (components != nullptr) *components = codec.num_components;
  std::fclose(stream);
  jpeg_destroy_decompress(&codec);
  return true;
}

void JPEGTurbo::FlipJPEG(unsigned char* data, int width, int height, int channels,
                         unsigned char* scratch) {
  if (data == nullptr || scratch == nullptr || width <= 0 || height <= 0 || channels <= 0) {
    return;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
  const std::size_t rows = static_cast<std::size_t>(height);
  for (std::size_t row = 0; row < rows; ++row) {
    std::memcpy(scratch + (rows - 1 - row) * rowBytes, data + row * rowBytes, rowBytes);
  }
  std::memcpy(data, scratch, rows * rowBytes);
}

}  // namespace KVO
