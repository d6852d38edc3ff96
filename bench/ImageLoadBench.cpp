// UTIL_LoadImageToBuffer beside its baselines on the same files:
//   BMP load        vs fread of the file's bytes plus one thread start/join;
//   JPEG load       vs libjpeg-turbo's own decode to BGR;
//   BMP load to 4   vs plain BMP load + ConvertColor 3 -> 4 measured alone;
//   raw Bayer       BayerFile read (alone and with one thread start/join)
//                   and the 1-channel load vs one fread of the whole
//                   (cached) file.
// Argument 0 is 1920 x 1080, 1 is 3840 x 2160; judge the ratios of one run.
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "TolvenixUtilities.h"
#include "imaging/BayerFile.h"
#include "imaging/ImageConversions.h"
#include "tests/support/TestSupport.h"

namespace {

struct Size {
  unsigned int width;
  unsigned int height;
};
constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};

// The test pictures, written once per process into a temporary folder.
class Files {
 public:
  static Files& Get() {
    static Files files;
    return files;
  }
  std::string Bmp(int index) const { return Name(index, ".bmp"); }
  std::string Jpeg(int index) const { return Name(index, ".jpg"); }
  std::string Bayer() const { return root.Path("picture.raw"); }

 private:
  Files() {
    for (int i = 0; i < 2; ++i) {
      const Size size = kSizes[i];
      std::vector<unsigned char> pixels(std::size_t{size.width} * size.height * 3);
      for (std::size_t p = 0; p < pixels.size(); ++p) {
        pixels[p] = static_cast<unsigned char>((p / 3 % size.width) / 8 + p / 3 / size.width / 8 +
                                               p % 3 * 60);
      }
      UTIL_SaveImageFromBuffer(Bmp(i).c_str(), size.width, size.height, 3, pixels.data(), 1, 0);
      UTIL_SaveImageFromBuffer(Jpeg(i).c_str(), size.width, size.height, 3, pixels.data(), 2, 0);
    }
    testsupport::WriteWholeFile(Bayer(), testsupport::Pattern(KVO::BayerFile::kFileBytes));
  }
  std::string Name(int index, const char* suffix) const {
    return root.Path("picture" + std::to_string(index) + suffix);
  }

  testsupport::TempDir root{"tolvenix-bench"};
};

std::size_t FileBytes(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::fseek(file, 0, SEEK_END);
  const long length = std::ftell(file);
  std::fclose(file);
  return static_cast<std::size_t>(length);
}

void SetPixels(benchmark::State& state, const Size& size) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * size.width * size.height);
}

void BM_FreadPlusThread(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const std::string path = Files::Get().Bmp(index);
  std::vector<unsigned char> buffer(FileBytes(path));
  for (auto _ : state) {
    std::thread thread([] {});
    std::FILE* file = std::fopen(path.c_str(), "rb");
    benchmark::DoNotOptimize(std::fread(buffer.data(), 1, buffer.size(), file));
    std::fclose(file);
    thread.join();
    benchmark::ClobberMemory();
  }
  SetPixels(state, kSizes[index]);
}

void LoadBmp(benchmark::State& state, int desired) {
  const int index = static_cast<int>(state.range(0));
  const Size size = kSizes[index];
  const std::string path = Files::Get().Bmp(index);
  std::vector<unsigned char> buffer(std::size_t{size.width} * size.height * 4);
  for (auto _ : state) {
    unsigned int width, height, channels;
    if (!UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels,
                                static_cast<unsigned int>(buffer.size()), buffer.data(), desired,
                                0)) {
      state.SkipWithError("load failed");
    }
    benchmark::ClobberMemory();
  }
  SetPixels(state, size);
}

void BM_UtilLoadBmp(benchmark::State& state) { LoadBmp(state, 0); }
void BM_UtilLoadBmpToFour(benchmark::State& state) { LoadBmp(state, 4); }

void BM_ConvertThreeToFour(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  const std::size_t pixels = std::size_t{size.width} * size.height;
  std::vector<unsigned char> source(pixels * 3, 7), destination(pixels * 4);
  for (auto _ : state) {
    KVO::ImageConversions::CvtColor<unsigned char>::ConvertColor(
        source.data(), destination.data(), static_cast<int>(size.width),
        static_cast<int>(size.height), 3, 4, false);
    benchmark::ClobberMemory();
  }
  SetPixels(state, size);
}

void BM_LibjpegDecodeBgr(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const Size size = kSizes[index];
  const std::string path = Files::Get().Jpeg(index);
  std::vector<unsigned char> buffer(std::size_t{size.width} * size.height * 3);
  for (auto _ : state) {
    jpeg_decompress_struct decoder;
    jpeg_error_mgr errors;
    decoder.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&decoder);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    jpeg_stdio_src(&decoder, file);
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&decoder);
    const std::size_t rowBytes = std::size_t{decoder.output_width} * 3;
    while (decoder.output_scanline < decoder.output_height) {
      JSAMPROW row = buffer.data() + decoder.output_scanline * rowBytes;
      jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    std::fclose(file);
    benchmark::ClobberMemory();
  }
  SetPixels(state, size);
}

void BM_UtilLoadJpeg(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const Size size = kSizes[index];
  const std::string path = Files::Get().Jpeg(index);
  std::vector<unsigned char> buffer(std::size_t{size.width} * size.height * 3);
  for (auto _ : state) {
    unsigned int width, height, channels;
    if (!UTIL_LoadImageToBuffer(path.c_str(), &width, &height, &channels,
                                static_cast<unsigned int>(buffer.size()), buffer.data(), 0, 0)) {
      state.SkipWithError("load failed");
    }
    benchmark::ClobberMemory();
  }
  SetPixels(state, size);
}

// Times `read(path, buffer)` reading the raw Bayer file into one buffer of
// its size, kept across iterations as a host would keep it.
template <typename Read>
void RunBayer(benchmark::State& state, Read read) {
  const std::string path = Files::Get().Bayer();
  std::vector<unsigned char> buffer(KVO::BayerFile::kFileBytes);
  for (auto _ : state) {
    if (!read(path.c_str(), buffer)) state.SkipWithError("read failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * KVO::BayerFile::kFileBytes);
}

void BM_BayerBaselineFread(benchmark::State& state) {
  RunBayer(state, [](const char* path, std::vector<unsigned char>& buffer) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const bool read = std::fread(buffer.data(), 1, buffer.size(), file) == buffer.size();
    std::fclose(file);
    return read;
  });
}

void BM_BayerReadBayerFile(benchmark::State& state) {
  RunBayer(state, [](const char* path, std::vector<unsigned char>& buffer) {
    KVO::BayerFile file;
    return file.Open(path, true) && file.GetInfo() && file.ReadFile(buffer.data());
  });
}

// The export must start and join its loader's thread around the read; this
// is the same read with a bare thread started before it and joined after,
// the floor the export can reach.
void BM_BayerReadBayerFilePlusThread(benchmark::State& state) {
  RunBayer(state, [](const char* path, std::vector<unsigned char>& buffer) {
    std::thread thread([] {});
    KVO::BayerFile file;
    const bool read = file.Open(path, true) && file.GetInfo() && file.ReadFile(buffer.data());
    thread.join();
    return read;
  });
}

void BM_UtilLoadBayerOne(benchmark::State& state) {
  RunBayer(state, [](const char* path, std::vector<unsigned char>& buffer) {
    unsigned int width, height, channels;
    return UTIL_LoadImageToBuffer(path, &width, &height, &channels,
                                  static_cast<unsigned int>(buffer.size()), buffer.data(), 1, 4);
  });
}

BENCHMARK(BM_FreadPlusThread)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UtilLoadBmp)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertThreeToFour)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UtilLoadBmpToFour)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibjpegDecodeBgr)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UtilLoadJpeg)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BayerBaselineFread)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BayerReadBayerFile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BayerReadBayerFilePlusThread)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UtilLoadBayerOne)->Unit(benchmark::kMicrosecond);

}  // namespace
