// The image file classes beside the plainest way of doing the same work on
// the same bytes in the same run:
//   BMP read:    BmpFile GetInfo + ReadFile     vs fread of the pixel bytes
//   BMP write:   BmpFile WriteFile              vs fwrite of the same bytes
//   JPEG decode: JpegFile GetInfo + ReadFile    vs a direct libjpeg decode to BGR
//   JPEG encode: JpegFile WriteFile, quality 80 vs a direct libjpeg encode
// Judge candidate / baseline ratios of the medians, e.g. with
//   ImageFileBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "imaging/BmpFile.h"
#include "imaging/JpegFile.h"
#include "tests/support/TestSupport.h"

// The codec's header uses size_t and FILE without declaring them.
#include <jpeglib.h>

namespace {

constexpr int kQuality = 80;
constexpr long kBmpHeaderBytes = 54;

// One picture per size, written once as BMP and JPEG into a scratch folder
// that is removed when the process ends.
struct Picture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<unsigned char> pixels;  // B, G, R; bottom row first
  std::string bmpPath;
  std::string jpegPath;
  std::string outPath;
};

class Scratch {
 public:
  const Picture& Get(unsigned width, unsigned height) {
    auto key = std::make_pair(width, height);
    auto found = pictures_.find(key);
    if (found != pictures_.end()) return found->second;
    Picture& picture = pictures_[key];
    picture.width = width;
    picture.height = height;
    // Smooth gradients with a little texture, like a camera frame.
    picture.pixels.resize(std::size_t{width} * height * 3);
    for (unsigned y = 0; y < height; ++y) {
      for (unsigned x = 0; x < width; ++x) {
        unsigned char* p = &picture.pixels[(std::size_t{y} * width + x) * 3];
        const unsigned texture = (x * 7 + y * 13) % 17;
        p[0] = static_cast<unsigned char>(x * 255 / width + texture);
        p[1] = static_cast<unsigned char>(y * 255 / height + texture);
        p[2] = static_cast<unsigned char>((x + y) % 256);
      }
    }
    const std::string stem = dir_.Path(std::to_string(width) + "x" + std::to_string(height));
    picture.bmpPath = stem + ".bmp";
    picture.jpegPath = stem + ".jpg";
    picture.outPath = stem + ".out";
    KVO::BmpFile bmp;
    if (!bmp.Open(picture.bmpPath.c_str(), false) ||
        !bmp.WriteFile(width, height, 3, picture.pixels.data(), 0)) {
      picture.bmpPath.clear();
    }
    KVO::JpegFile jpeg;
    if (!jpeg.Open(picture.jpegPath.c_str(), false) ||
        !jpeg.WriteFile(width, height, 3, picture.pixels.data(), 0)) {
      picture.jpegPath.clear();
    }
    return picture;
  }

 private:
  testsupport::TempDir dir_{"tolvenix-bench"};
  std::map<std::pair<unsigned, unsigned>, Picture> pictures_;
};

Scratch& Files() {
  static Scratch scratch;
  return scratch;
}

const Picture& PictureFor(benchmark::State& state) {
  const Picture& picture =
      Files().Get(static_cast<unsigned>(state.range(0)), static_cast<unsigned>(state.range(1)));
  if (picture.bmpPath.empty() || picture.jpegPath.empty()) {
    state.SkipWithError("could not write the input files");
  }
  return picture;
}

void SetProcessed(benchmark::State& state, const Picture& picture) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(picture.pixels.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * picture.width *
                          picture.height);
}

void BM_BmpReadBmpFile(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  std::vector<unsigned char> pixels(picture.pixels.size());
  for (auto _ : state) {
    KVO::BmpFile file;
    if (!file.Open(picture.bmpPath.c_str(), true) || !file.GetInfo() ||
        !file.ReadFile(pixels.data())) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  SetProcessed(state, picture);
}

void BM_BmpReadBaselineFread(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  std::vector<unsigned char> pixels(picture.pixels.size());
  for (auto _ : state) {
    std::FILE* file = std::fopen(picture.bmpPath.c_str(), "rb");
    if (file == nullptr || std::fseek(file, kBmpHeaderBytes, SEEK_SET) != 0 ||
        std::fread(pixels.data(), 1, pixels.size(), file) != pixels.size()) {
      state.SkipWithError("read failed");
      if (file != nullptr) std::fclose(file);
      break;
    }
    std::fclose(file);
    benchmark::DoNotOptimize(pixels.data());
  }
  SetProcessed(state, picture);
}

void BM_BmpWriteBmpFile(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  for (auto _ : state) {
    KVO::BmpFile file;
    if (!file.Open(picture.outPath.c_str(), false) ||
        !file.WriteFile(picture.width, picture.height, 3, picture.pixels.data(), 0)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  SetProcessed(state, picture);
}

void BM_BmpWriteBaselineFwrite(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  unsigned char header[kBmpHeaderBytes] = {'B', 'M'};
  for (auto _ : state) {
    std::FILE* file = std::fopen(picture.outPath.c_str(), "wb");
    if (file == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    std::fwrite(header, 1, sizeof header, file);
    std::fwrite(picture.pixels.data(), 1, picture.pixels.size(), file);
    std::fclose(file);
  }
  SetProcessed(state, picture);
}

void BM_JpegDecodeJpegFile(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  std::vector<unsigned char> pixels(picture.pixels.size());
  for (auto _ : state) {
    KVO::JpegFile file;
    if (!file.Open(picture.jpegPath.c_str(), true) || !file.GetInfo() ||
        !file.ReadFile(pixels.data())) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  SetProcessed(state, picture);
}

// The codec used directly with its standard error manager (inputs are known
// good here), decoding straight into the output rows.
void BM_JpegDecodeBaselineLibjpeg(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  std::vector<unsigned char> pixels(picture.pixels.size());
  const std::size_t rowBytes = std::size_t{picture.width} * 3;
  for (auto _ : state) {
    std::FILE* file = std::fopen(picture.jpegPath.c_str(), "rb");
    if (file == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    jpeg_decompress_struct codec;
    jpeg_error_mgr errors;
    codec.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&codec);
    jpeg_stdio_src(&codec, file);
    jpeg_read_header(&codec, TRUE);
    codec.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&codec);
    while (codec.output_scanline < codec.output_height) {
      JSAMPROW row = pixels.data() + codec.output_scanline * rowBytes;
      jpeg_read_scanlines(&codec, &row, 1);
    }
    jpeg_finish_decompress(&codec);
    jpeg_destroy_decompress(&codec);
    std::fclose(file);
    benchmark::DoNotOptimize(pixels.data());
  }
  SetProcessed(state, picture);
}

void BM_JpegEncodeJpegFile(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  for (auto _ : state) {
    KVO::JpegFile file;
    file.SetQuality(kQuality);
    if (!file.Open(picture.outPath.c_str(), false) ||
        !file.WriteFile(picture.width, picture.height, 3, picture.pixels.data(), 0)) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  SetProcessed(state, picture);
}

void BM_JpegEncodeBaselineLibjpeg(benchmark::State& state) {
  const Picture& picture = PictureFor(state);
  const std::size_t rowBytes = std::size_t{picture.width} * 3;
  for (auto _ : state) {
    std::FILE* file = std::fopen(picture.outPath.c_str(), "wb");
    if (file == nullptr) {
      state.SkipWithError("open failed");
      break;
    }
    jpeg_compress_struct codec;
    jpeg_error_mgr errors;
    codec.err = jpeg_std_error(&errors);
    jpeg_create_compress(&codec);
    jpeg_stdio_dest(&codec, file);
    codec.image_width = picture.width;
    codec.image_height = picture.height;
    codec.input_components = 3;
    codec.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&codec);
    jpeg_set_quality(&codec, kQuality, TRUE);
    jpeg_start_compress(&codec, TRUE);
    while (codec.next_scanline < codec.image_height) {
      JSAMPROW row = const_cast<unsigned char*>(picture.pixels.data()) +
                     (picture.height - 1 - codec.next_scanline) * rowBytes;
      jpeg_write_scanlines(&codec, &row, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    std::fclose(file);
  }
  SetProcessed(state, picture);
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_BmpReadBmpFile)->Apply(Sizes);
BENCHMARK(BM_BmpReadBaselineFread)->Apply(Sizes);
BENCHMARK(BM_BmpWriteBmpFile)->Apply(Sizes);
BENCHMARK(BM_BmpWriteBaselineFwrite)->Apply(Sizes);
BENCHMARK(BM_JpegDecodeJpegFile)->Apply(Sizes);
BENCHMARK(BM_JpegDecodeBaselineLibjpeg)->Apply(Sizes);
BENCHMARK(BM_JpegEncodeJpegFile)->Apply(Sizes);
BENCHMARK(BM_JpegEncodeBaselineLibjpeg)->Apply(Sizes);

}  // namespace
