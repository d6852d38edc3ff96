// UTIL_SaveImageFromBuffer, as a host calls it, beside fwrite of the very
// bytes it writes, three-channel BMP at 1920 x 1080 (argument 0) and
// 3840 x 2160 (argument 1):
//   New:       a save to a name not yet taken      vs fopen "wb" + fwrite
//   Replacing: a save over the file the last wrote vs fopen "wb" + fwrite
//              over it (the save syncs its copy before renaming it over)
// and small saves, where the cost of reaching the name shows: a 64 x 64
// three-channel BMP (about 12 KB) on /dev/shm (tmpfs; TMPDIR where there is
// none) at the end of a path 3 folders deep (argument 3) and 14 deep
// (argument 14):
//   SmallNew, SmallReplacing: as above.
// The big pictures' folder is the system's temporary folder (TMPDIR): say
// which disk it is on when reporting. Judge the ratios of the medians of one
// run, e.g.
//   ImageSaveBench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <stdlib.h>
#include <sys/stat.h>
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
  const testsupport::Bytes& File(int index) const { return files[index]; }
  std::string Path(const char* stem, int index) const {
    return root.Path(stem + std::to_string(index) + ".bmp");
  }
  bool Save(const std::string& path, int index) {
    const Size size = kSizes[index];
    return UTIL_SaveImageFromBuffer(path.c_str(), size.width, size.height, 3, pixels[index].data(),
                                    kBmp, 0);
  }

 private:
  Pictures() {
    for (int i = 0; i < 2; ++i) {
      const Size size = kSizes[i];
      pixels[i] = testsupport::Pattern(std::size_t{size.width} * size.height * 3);
      const std::string path = Path("reference", i);
      Save(path, i);
      files[i] = testsupport::ReadWholeFile(path);
    }
  }

  testsupport::TempDir root{"tolvenix-save-bench"};
  std::vector<unsigned char> pixels[2];
  testsupport::Bytes files[2];
};

// The small picture and its BMP bytes, with folders 3 and 14 deep made under
// a scratch folder on tmpfs, removed at exit.
class SmallPictures {
 public:
  static constexpr unsigned int kSide = 64;
  static SmallPictures& Get() {
    static SmallPictures pictures;
    return pictures;
  }
  const testsupport::Bytes& File(int /*depth*/) const { return file; }
  // The name `stem`.bmp at the end of `depth` folders.
  std::string Path(const char* stem, int depth) const {
    return Folder(depth) + "/" + stem + ".bmp";
  }
  bool Save(const std::string& path, int /*depth*/) {
    return UTIL_SaveImageFromBuffer(path.c_str(), kSide, kSide, 3, pixels.data(), kBmp, 0);
  }

 private:
  SmallPictures() {
    struct stat shm;
    std::string pattern =
        ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && ::access("/dev/shm", W_OK) == 0
            ? "/dev/shm/tolvenix-small-bench-XXXXXX"
            : scratch.Path("small-XXXXXX");
    if (::mkdtemp(pattern.data()) != nullptr) root = pattern;
    for (int depth : {3, 14}) {
      for (int i = 1; i <= depth; ++i) ::mkdir(Folder(i).c_str(), 0700);
    }
    pixels = testsupport::Pattern(std::size_t{kSide} * kSide * 3);
    const std::string path = Path("reference", 3);
    Save(path, 3);
    file = testsupport::ReadWholeFile(path);
  }
  ~SmallPictures() {
    // Only what the constructor made, deepest first.
    ::unlink(Path("reference", 3).c_str());
    for (int i = 14; i > 0; --i) ::rmdir(Folder(i).c_str());
    ::rmdir(root.c_str());
  }
  std::string Folder(int depth) const {
    std::string folder = root;
    for (int i = 0; i < depth; ++i) folder += "/f" + std::to_string(i);
    return folder;
  }

  testsupport::TempDir scratch{"tolvenix-small-bench"};
  std::string root;
  std::vector<unsigned char> pixels;
  testsupport::Bytes file;
};

template <class Set>
bool Save(const std::string& path, int arg) {
  return Set::Get().Save(path, arg);
}

template <class Set>
bool Fwrite(const std::string& path, int arg) {
  const testsupport::Bytes& bytes = Set::Get().File(arg);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Times `write` to a name that does not exist: the file of the previous
// iteration is removed with the clock stopped.
template <class Set, bool (*write)(const std::string&, int)>
void New(benchmark::State& state) {
  const int arg = static_cast<int>(state.range(0));
  const std::string path = Set::Get().Path("new", arg);
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(path.c_str());
    state.ResumeTiming();
    if (!write(path, arg)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(Set::Get().File(arg).size()));
}

// Times `write` over the file that the previous write made.
template <class Set, bool (*write)(const std::string&, int)>
void Replacing(benchmark::State& state) {
  const int arg = static_cast<int>(state.range(0));
  const std::string path = Set::Get().Path("old", arg);
  if (!write(path, arg)) state.SkipWithError("the first write failed");
  for (auto _ : state) {
    if (!write(path, arg)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(Set::Get().File(arg).size()));
}

BENCHMARK_TEMPLATE2(New, Pictures, Save<Pictures>)
    ->Name("New<Save>")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE2(New, Pictures, Fwrite<Pictures>)
    ->Name("New<Fwrite>")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE2(Replacing, Pictures, Save<Pictures>)
    ->Name("Replacing<Save>")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE2(Replacing, Pictures, Fwrite<Pictures>)
    ->Name("Replacing<Fwrite>")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE2(New, SmallPictures, Save<SmallPictures>)
    ->Name("SmallNew<Save>")
    ->Arg(3)
    ->Arg(14)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE2(New, SmallPictures, Fwrite<SmallPictures>)
    ->Name("SmallNew<Fwrite>")
    ->Arg(3)
    ->Arg(14)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE2(Replacing, SmallPictures, Save<SmallPictures>)
    ->Name("SmallReplacing<Save>")
    ->Arg(3)
    ->Arg(14)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE2(Replacing, SmallPictures, Fwrite<SmallPictures>)
    ->Name("SmallReplacing<Fwrite>")
    ->Arg(3)
    ->Arg(14)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
