// UTIL_SaveImageFromBuffer, as a host calls it, beside fwrite of the very
// bytes it writes, three-channel BMP at 1920 x 1080 (argument 0) and
// 3840 x 2160 (argument 1):
//   New:       a save to a name not yet taken      vs fopen "wb" + fwrite
//   Replacing: a save over the file the last wrote vs fopen "wb" + fwrite
//              over it (the save syncs its copy before renaming it over)
// The folder is the system's temporary folder (TMPDIR): say which disk it
// is on when reporting. Judge the ratios of the medians of one run, e.g.
//   ImageSaveBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "TolvenixUtilities.h"
#include "tests/support/TestSupport.h"

namespace {

struct Size {
  unsigned int width;
  unsigned int height;
};
constexpr Size kSizes[] = {{1920, 1080}, {3840, 2160}};
constexpr int kBmp = 1;

// The pictures and the BMP bytes the library makes of them, once per
// process, in a scratch folder removed at exit.
class Pictures {
 public:
  static Pictures& Get() {
    static Pictures pictures;
    return pictures;
  }
  std::vector<unsigned char>& Pixels(int index) { return pixels[index]; }
  const testsupport::Bytes& File(int index) const { return files[index]; }
  std::string Path(const char* name, int index) const {
    return root.Path(name + std::to_string(index) + ".bmp");
  }

 private:
  Pictures() {
    for (int i = 0; i < 2; ++i) {
      const Size size = kSizes[i];
      pixels[i] = testsupport::Pattern(std::size_t{size.width} * size.height * 3);
      const std::string path = Path("reference", i);
      UTIL_SaveImageFromBuffer(path.c_str(), size.width, size.height, 3, pixels[i].data(), kBmp, 0);
      files[i] = testsupport::ReadWholeFile(path);
    }
  }

  testsupport::TempDir root{"tolvenix-save-bench"};
  std::vector<unsigned char> pixels[2];
  testsupport::Bytes files[2];
};

bool Save(const std::string& path, int index) {
  const Size size = kSizes[index];
  return UTIL_SaveImageFromBuffer(path.c_str(), size.width, size.height, 3,
                                  Pictures::Get().Pixels(index).data(), kBmp, 0);
}

bool Fwrite(const std::string& path, int index) {
  const testsupport::Bytes& bytes = Pictures::Get().File(index);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Times `write` to a name that does not exist: the file of the previous
// iteration is removed with the clock stopped.
template <bool (*write)(const std::string&, int)>
void New(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const std::string path = Pictures::Get().Path("new", index);
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(path.c_str());
    state.ResumeTiming();
    if (!write(path, index)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(Pictures::Get().File(index).size()));
}

// Times `write` over the file that the previous write made.
template <bool (*write)(const std::string&, int)>
void Replacing(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const std::string path = Pictures::Get().Path("old", index);
  if (!write(path, index)) state.SkipWithError("the first write failed");
  for (auto _ : state) {
    if (!write(path, index)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(Pictures::Get().File(index).size()));
}

BENCHMARK_TEMPLATE(New, Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(New, Fwrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Replacing, Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Replacing, Fwrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
