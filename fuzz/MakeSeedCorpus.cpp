// Writes the fuzzers' seed corpora with the library's own writers:
//   MakeSeedCorpus <corpus root>
// creates <root>/<Target>/ files for each fuzz target. Small pictures only.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/BmpFile.h"
#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"
#include "tests/support/JpegOddities.h"
#include "tests/support/JpegStreams.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Bytes;

Bytes Picture(unsigned width, unsigned height, unsigned channels) {
  return testsupport::Pattern(std::size_t{width} * height * channels);
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  testsupport::WriteWholeFile(path.string(), bytes);
}

void Bmps(const fs::path& dir) {
  struct Shape {
    unsigned width, height, channels;
  };
  for (const Shape& s : {Shape{1, 1, 1}, Shape{3, 2, 1}, Shape{5, 3, 3}, Shape{4, 2, 3},
                         Shape{3, 3, 4}, Shape{7, 2, 2}}) {
    const std::string name = "bmp_" + std::to_string(s.width) + "x" + std::to_string(s.height) +
                             "x" + std::to_string(s.channels) + ".bmp";
    KVO::BmpFile file;
    const Bytes picture = Picture(s.width, s.height, s.channels);
    if (file.Open((dir / name).c_str(), false)) {
      file.WriteFile(s.width, s.height, s.channels, picture.data(), 0);
    }
  }
}

Bytes Jpeg(unsigned width, unsigned height, unsigned channels, int quality, bool headless) {
  unsigned char* stream = nullptr;
  unsigned long length = 0;
  KVO::JpegFile file;
  file.SetQuality(quality);
  file.SetHeadless(headless);
  file.SetJpegBuffer(&stream, &length);
  const Bytes picture = Picture(width, height, channels);
  Bytes result;
  if (file.WriteToMemory(width, height, channels, picture.data())) {
    result.assign(stream, stream + length);
  }
  std::free(stream);
  return result;
}

// Scan layouts the library never writes, made by the codec: its own
// progression, one scan per component, and arithmetic coding (refused).
void CodecJpegs(const fs::path& dir) {
  testsupport::JpegCoding progressive, perComponent, arithmetic;
  progressive.progressive = true;
  perComponent.scans = {{1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
  arithmetic.arithmetic = true;
  WriteBytes(dir / "codec_progressive_16x16x3.jpg",
             testsupport::EncodeJpeg(16, 16, 3, Picture(16, 16, 3), progressive));
  WriteBytes(dir / "codec_progressive_16x8x1.jpg",
             testsupport::EncodeJpeg(16, 8, 1, Picture(16, 8, 1), progressive));
  WriteBytes(dir / "codec_scan_per_component_16x8x3.jpg",
             testsupport::EncodeJpeg(16, 8, 3, Picture(16, 8, 3), perComponent));
  WriteBytes(dir / "codec_arithmetic_8x8x3.jpg",
             testsupport::EncodeJpeg(8, 8, 3, Picture(8, 8, 3), arithmetic));
  // Streams the codec warns about but that load whole: restart intervals
  // with padding, stray bytes, odd header fields.
  for (const testsupport::JpegOddity& oddity : testsupport::HarmlessJpegOddities()) {
    std::string name = "oddity_" + oddity.what;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    WriteBytes(dir / (name + ".jpg"), oddity.stream);
  }
}

void Jpegs(const fs::path& dir, bool withHeadless) {
  struct Shape {
    unsigned width, height, channels;
    int quality;
  };
  for (const Shape& s :
       {Shape{8, 8, 1, 80}, Shape{17, 9, 3, 80}, Shape{16, 16, 3, 20}, Shape{33, 5, 1, 95}}) {
    const Bytes stream = Jpeg(s.width, s.height, s.channels, s.quality, false);
    const std::string name = "jpeg_" + std::to_string(s.width) + "x" + std::to_string(s.height) +
                             "x" + std::to_string(s.channels) + "_q" + std::to_string(s.quality) +
                             ".jpg";
    WriteBytes(dir / name, stream);
  }
  if (withHeadless) {
    const Bytes stream = Jpeg(24, 16, 3, 80, true);
    WriteBytes(dir / "jpeg_headless_24x16x3.jph", stream);
    // Two length bytes, a header made at another quality, then a headless
    // stream encoded with it.
    KVO::JpegFile writer;
    writer.SetQuality(50);
    unsigned char* header = nullptr;
    unsigned long headerSize = 0;
    writer.WriteHeaderToMemory(&header, &headerSize);
    const Bytes split = Jpeg(16, 8, 3, 50, true);
    if (header != nullptr && headerSize < 65536) {
      Bytes input = {static_cast<unsigned char>(headerSize >> 8),
                     static_cast<unsigned char>(headerSize)};
      input.insert(input.end(), header, header + headerSize);
      input.insert(input.end(), split.begin(), split.end());
      WriteBytes(dir / "jpeg_split_header_16x8x3_q50", input);
    }
    std::free(header);
  }
  Bytes picture = Picture(12, 10, 3);
  KVO::JPEGTurbo::WriteJPEG((dir / "jpegturbo_12x10.jpg").c_str(), 75, 12, 10, picture.data());
  CodecJpegs(dir);
}

void Bayers(const fs::path& dir) {
  // Three bytes of LoadFile geometry, then samples.
  const Bytes small = {3, 1, 1, 10, 20, 30, 40, 50, 60, 70, 80};
  WriteBytes(dir / "bayer_geometry_4x2x1", small);
  const Bytes shortRead = {7, 7, 3, 1, 2, 3};
  WriteBytes(dir / "bayer_short", shortRead);
  const Bytes repeated = Picture(64, 1, 1);
  WriteBytes(dir / "bayer_repeated", repeated);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus root>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* target :
       {"BmpReaderFuzzer", "JpegMemoryFuzzer", "JpegFileFuzzer", "BayerReaderFuzzer"}) {
    fs::create_directories(root / target);
  }
  Bmps(root / "BmpReaderFuzzer");
  Jpegs(root / "JpegMemoryFuzzer", true);
  Jpegs(root / "JpegFileFuzzer", false);
  Bayers(root / "BayerReaderFuzzer");
  return 0;
}
