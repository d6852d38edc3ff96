#include "tests/support/JpegStreams.h"

#include <cstdlib>

namespace testsupport {

namespace {

bool IsFrameMarker(unsigned char marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

}  // namespace

Bytes EncodeJpeg(unsigned width, unsigned height, int components, const Bytes& topDownPixels,
                 const JpegCoding& coding) {
  jpeg_error_mgr errors;
  jpeg_compress_struct codec{};
  codec.err = jpeg_std_error(&errors);
  jpeg_create_compress(&codec);
  unsigned char* stream = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&codec, &stream, &length);
  codec.image_width = width;
  codec.image_height = height;
  codec.input_components = components;
  codec.in_color_space = coding.inColorSpace.value_or(components == 1 ? JCS_GRAYSCALE : JCS_RGB);
  jpeg_set_defaults(&codec);
  if (coding.storedColorSpace) jpeg_set_colorspace(&codec, *coding.storedColorSpace);
  jpeg_set_quality(&codec, coding.quality, TRUE);
  codec.arith_code = coding.arithmetic ? TRUE : FALSE;
  if (codec.jpeg_color_space == JCS_YCbCr) {
    codec.comp_info[0].h_samp_factor = coding.lumaSampling[0];
    codec.comp_info[0].v_samp_factor = coding.lumaSampling[1];
  }
  codec.restart_in_rows = coding.restartRows;
  if (coding.progressive) jpeg_simple_progression(&codec);
  if (!coding.scans.empty()) {
    codec.scan_info = coding.scans.data();
    codec.num_scans = static_cast<int>(coding.scans.size());
  }
  jpeg_start_compress(&codec, TRUE);
  const std::size_t rowBytes = std::size_t{width} * components;
  while (codec.next_scanline < height) {
    JSAMPROW row =
        const_cast<unsigned char*>(topDownPixels.data()) + codec.next_scanline * rowBytes;
    jpeg_write_scanlines(&codec, &row, 1);
  }
  jpeg_finish_compress(&codec);
  jpeg_destroy_compress(&codec);
  Bytes copy(stream, stream + length);
  std::free(stream);
  return copy;
}

Bytes ReferenceDecodeJpeg(const Bytes& stream) {
  jpeg_error_mgr errors;
  jpeg_decompress_struct codec{};
  codec.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&codec);
  jpeg_mem_src(&codec, stream.data(), stream.size());
  jpeg_read_header(&codec, TRUE);
  if (codec.num_components != 1) codec.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&codec);
  const std::size_t rowBytes = std::size_t{codec.output_width} * codec.output_components;
  Bytes pixels(rowBytes * codec.output_height);
  while (codec.output_scanline < codec.output_height) {
    JSAMPROW row = pixels.data() + codec.output_scanline * rowBytes;
    jpeg_read_scanlines(&codec, &row, 1);
  }
  jpeg_finish_decompress(&codec);
  jpeg_destroy_decompress(&codec);
  return pixels;
}

std::vector<std::pair<std::size_t, std::size_t>> FindJpegScans(const Bytes& stream) {
  std::vector<std::pair<std::size_t, std::size_t>> scans;
  for (std::size_t at = FindJpegMarker(stream, 0xDA); at < stream.size();) {
    std::size_t end = at + 2;
    while (end + 1 < stream.size() &&
           (stream[end] != 0xFF || stream[end + 1] == 0 || stream[end + 1] == 0xFF ||
            (stream[end + 1] >= 0xD0 && stream[end + 1] <= 0xD7))) {
      ++end;
    }
    if (end + 1 >= stream.size()) end = stream.size();
    scans.emplace_back(at, end);
    at = FindJpegMarker(stream, 0xDA, end);
  }
  return scans;
}

std::size_t FindJpegMarker(const Bytes& stream, unsigned char marker, std::size_t from) {
  for (std::size_t i = from; i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && stream[i + 1] == marker) return i;
  }
  return stream.size();
}

std::size_t JpegScanHeaderEnd(const Bytes& stream, std::size_t scan) {
  return scan + 2 + (stream[scan + 2] << 8 | stream[scan + 3]);
}

Bytes CutJpegAt(const Bytes& stream, std::size_t at) {
  Bytes cut(stream.begin(), stream.begin() + at);
  cut.insert(cut.end(), {0xFF, 0xD9});
  return cut;
}

bool SetJpegFrameSize(Bytes* stream, unsigned width, unsigned height) {
  // Markers before the frame are segments with a length; walk them.
  std::size_t at = 2;
  while (at + 9 < stream->size() && (*stream)[at] == 0xFF) {
    const unsigned char marker = (*stream)[at + 1];
    if (IsFrameMarker(marker)) {
      (*stream)[at + 5] = static_cast<unsigned char>(height >> 8);
      (*stream)[at + 6] = static_cast<unsigned char>(height);
      (*stream)[at + 7] = static_cast<unsigned char>(width >> 8);
      (*stream)[at + 8] = static_cast<unsigned char>(width);
      return true;
    }
    at += 2 + ((*stream)[at + 2] << 8 | (*stream)[at + 3]);
  }
  return false;
}

}  // namespace testsupport
