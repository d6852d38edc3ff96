// Times the per-pixel image operations beside memcpy of the larger image's
// bytes, in the same run, and prints each operation's ratio of median times
// (operation / memcpy). Ratios, not absolute times, are what to judge.
//
// Run by hand: ImageConversionsBench (5 repetitions by default; pass
// --benchmark_repetitions=N to change). --kernels=NAME runs a given kernel
// set ("portable" for the plain loops, "avx2", "avx512vbmi") instead of the
// best one.

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/optional.hpp>

#include "imaging/ImageConversions.h"
#include "imaging/PixelKernels.h"

namespace {

using KVO::UserDataGenericBuffer;
using KVO::ImageConversions::CvtColor;
using Cvt = CvtColor<unsigned char>;

struct Size {
  int width;
  int height;
};
constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};

std::vector<unsigned char> Filled(std::size_t bytes) {
  std::vector<unsigned char> v(bytes);
  for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
  return v;
}

std::string BaselineName(int bytesPerPixel, const Size& size) {
  return "Memcpy" + std::to_string(bytesPerPixel) + "Bpp/" + std::to_string(size.width) + "x" +
         std::to_string(size.height);
}

// Operation name -> name of its memcpy baseline.
std::map<std::string, std::string>& Baselines() {
  static std::map<std::string, std::string> baselines;
  return baselines;
}

void SetBytes(benchmark::State& state, std::size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytesPerIteration));
}

void Memcpy(benchmark::State& state, Size size, int bytesPerPixel) {
  const std::size_t bytes = static_cast<std::size_t>(size.width) * size.height * bytesPerPixel;
  std::vector<unsigned char> source = Filled(bytes);
  std::vector<unsigned char> destination(bytes, 1);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), bytes);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

void Convert(benchmark::State& state, Size size, int from, int to, bool flip) {
  const std::size_t pixels = static_cast<std::size_t>(size.width) * size.height;
  std::vector<unsigned char> source = Filled(pixels * from);
  std::vector<unsigned char> destination(pixels * to, 1);
  for (auto _ : state) {
    Cvt::ConvertColor(source.data(), destination.data(), size.width, size.height, from, to, flip);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, pixels * (from > to ? from : to));
}

void FlipImage(benchmark::State& state, Size size) {
  UserDataGenericBuffer<unsigned char> source(size.width, size.height, 3, true);
  std::vector<unsigned char> content = Filled(static_cast<std::size_t>(source.end - source.begin));
  std::memcpy(source.begin, content.data(), content.size());
  UserDataGenericBuffer<unsigned char> destination(size.width, size.height, 3, true);
  std::memset(destination.begin, 1, content.size());
  for (auto _ : state) {
    KVO::ImageConversions::FlipVertically<unsigned char>(source, destination);
    benchmark::DoNotOptimize(destination.begin);
    benchmark::ClobberMemory();
  }
  SetBytes(state, content.size());
}

void FlipRaw(benchmark::State& state, Size size) {
  const std::size_t bytes = static_cast<std::size_t>(size.width) * size.height * 3;
  std::vector<unsigned char> source = Filled(bytes);
  std::vector<unsigned char> destination(bytes, 1);
  for (auto _ : state) {
    KVO::ImageConversions::FlipVertically(source.data(), destination.data(), size.width,
                                          size.height, 3);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

void FlipInPlace(benchmark::State& state, Size size) {
  const std::size_t bytes = static_cast<std::size_t>(size.width) * size.height * 3;
  std::vector<unsigned char> pixels = Filled(bytes);
  std::vector<unsigned char> scratch(static_cast<std::size_t>(size.width) * 3);
  UserDataGenericBuffer<unsigned char> image(size.width, size.height, 3, pixels.data());
  for (auto _ : state) {
    KVO::ImageConversions::FlipVerticallyInPlace(image, scratch.data());
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

// Mirrors a packed image of `channels` elements of T per pixel into another.
template <typename T>
void FlipHorizontal(benchmark::State& state, Size size, int channels) {
  UserDataGenericBuffer<T> source(size.width, size.height, channels, true);
  const std::size_t bytes = static_cast<std::size_t>(source.end - source.begin) * sizeof(T);
  std::vector<unsigned char> content = Filled(bytes);
  std::memcpy(source.begin, content.data(), bytes);
  UserDataGenericBuffer<T> destination(size.width, size.height, channels, true);
  std::memset(destination.begin, 1, bytes);
  for (auto _ : state) {
    KVO::ImageConversions::FlipHorizontally<T>(source, destination);
    benchmark::DoNotOptimize(destination.begin);
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

void WhiteBalance(benchmark::State& state, Size size) {
  const std::size_t bytes = static_cast<std::size_t>(size.width) * size.height * 3;
  std::vector<unsigned char> pixels = Filled(bytes);
  UserDataGenericBuffer<unsigned char> image(size.width, size.height, 3, pixels.data());
  for (auto _ : state) {
    // The per-byte work does not depend on the values, so the red channel
    // drifting toward 255 over the iterations does not change the timing.
    KVO::ImageConversions::SetWhiteBalance(&image, 200, 255, 255);
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, bytes);
}

template <typename Fn>
void Register(const std::string& name, Size size, int baselineBytesPerPixel, Fn fn) {
  const std::string full =
      name + "/" + std::to_string(size.width) + "x" + std::to_string(size.height);
  benchmark::RegisterBenchmark(full.c_str(), fn)->Unit(benchmark::kMicrosecond)->UseRealTime();
  Baselines()[full] = BaselineName(baselineBytesPerPixel, size);
}

void RegisterAll() {
  for (const Size& size : kSizes) {
    for (int bytesPerPixel : {1, 2, 3, 4}) {
      benchmark::RegisterBenchmark(BaselineName(bytesPerPixel, size).c_str(),
                                   [=](benchmark::State& s) { Memcpy(s, size, bytesPerPixel); })
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
    Register("FlipVerticallyImage3Bpp", size, 3, [=](benchmark::State& s) { FlipImage(s, size); });
    Register("FlipVerticallyRaw3Bpp", size, 3, [=](benchmark::State& s) { FlipRaw(s, size); });
    Register("FlipVerticallyInPlace3Bpp", size, 3,
             [=](benchmark::State& s) { FlipInPlace(s, size); });
    for (int channels : {1, 3, 4}) {
      Register("FlipHorizontally" + std::to_string(channels) + "Bpp", size, channels,
               [=](benchmark::State& s) { FlipHorizontal<unsigned char>(s, size, channels); });
    }
    Register("FlipHorizontally1ChannelShort", size, 2,
             [=](benchmark::State& s) { FlipHorizontal<unsigned short>(s, size, 1); });
    struct Pair {
      int from;
      int to;
    };
    for (Pair pair : {Pair{3, 4}, Pair{4, 3}, Pair{1, 3}, Pair{1, 4}, Pair{3, 1}, Pair{4, 1}}) {
      for (bool flip : {false, true}) {
        const std::string name = "Convert" + std::to_string(pair.from) + "To" +
                                 std::to_string(pair.to) + (flip ? "AndFlip" : "");
        Register(name, size, pair.from > pair.to ? pair.from : pair.to,
                 [=](benchmark::State& s) { Convert(s, size, pair.from, pair.to, flip); });
      }
    }
    Register("SetWhiteBalance3Bpp", size, 3, [=](benchmark::State& s) { WhiteBalance(s, size); });
  }
}

// Console output as usual, plus the ratio table from the medians.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (median || single) medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-40s %10s\n", "operation / memcpy (median real time)", "ratio");
    for (const auto& [name, baseline] : Baselines()) {
      const auto op = medians_.find(name);
      const auto base = medians_.find(baseline);
      if (op == medians_.end() || base == medians_.end() || base->second <= 0) continue;
      std::printf("%-40s %10.2f\n", name.c_str(), op->second / base->second);
    }
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

// Applies --kernels=NAME; false when NAME is not a set this CPU runs.
bool SelectKernelsByName(const char* name) {
  if (std::strcmp(name, "portable") == 0) {
    KVO::PixelKernels::SelectKernels(nullptr);
    return true;
  }
  for (const auto* kernels : KVO::PixelKernels::SupportedKernelSets()) {
    if (std::strcmp(name, kernels->name) == 0) {
      KVO::PixelKernels::SelectKernels(kernels);
      return true;
    }
  }
  std::fprintf(stderr, "unknown or unsupported kernel set: %s\n", name);
  return false;
}

int main(int argc, char** argv) {
  // Five repetitions unless the caller chooses: the ratios use medians.
  std::vector<char*> args = {argv[0]};
  bool repetitionsGiven = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--kernels=", 10) == 0) {
      if (!SelectKernelsByName(argv[i] + 10)) return 1;
      continue;
    }
    if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
    args.push_back(argv[i]);
  }
  static char repetitions[] = "--benchmark_repetitions=5";
  static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
  if (!repetitionsGiven) {
    args.push_back(repetitions);
    args.push_back(aggregatesOnly);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RegisterAll();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
