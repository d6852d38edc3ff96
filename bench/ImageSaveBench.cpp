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

// The small picture and its BMP bytes, with folders 3 and 14 deep made under
// a scratch folder on tmpfs, removed at exit.
class SmallPictures {
 public:
  static constexpr unsigned int kSide = 64;
  static SmallPictures& Get() {
    static SmallPictures pictures;
    return pictures;
  }
  std::vector<unsigned char>& Pixels() { return pixels; }
  const testsupport::Bytes& File() const { return file; }
  // A name `name` at the end of `depth` folders.
  std::string Path(const char* name, int depth) const {
    std::string path = root;
    for (int i = 0; i < depth; ++i) path += "/f" + std::to_string(i);
    return path + "/" + name;
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
      std::string folder = root;
      for (int i = 0; i < depth; ++i) ::mkdir((folder += "/f" + std::to_string(i)).c_str(), 0700);
    }
    pixels = testsupport::Pattern(std::size_t{kSide} * kSide * 3);
    const std::string path = Path("reference.bmp", 3);
    UTIL_SaveImageFromBuffer(path.c_str(), kSide, kSide, 3, pixels.data(), kBmp, 0);
    file = testsupport::ReadWholeFile(path);
  }
  ~SmallPictures() {
    // Only what the constructor made, deepest first.
    for (int depth : {14, 3}) {
      ::unlink(Path("reference.bmp", depth).c_str());
      for (int i = depth; i > 0; --i) ::rmdir(Path("", i).c_str());
    }
    ::rmdir(root.c_str());
  }

  testsupport::TempDir scratch{"tolvenix-small-bench"};
  std::string root;
  std::vector<unsigned char> pixels;
  testsupport::Bytes file;
};

bool SaveSmall(const std::string& path, int /*depth*/) {
  constexpr unsigned int side = SmallPictures::kSide;
  return UTIL_SaveImageFromBuffer(path.c_str(), side, side, 3, SmallPictures::Get().Pixels().data(),
                                  kBmp, 0);
}

bool FwriteSmall(const std::string& path, int /*depth*/) {
  const testsupport::Bytes& bytes = SmallPictures::Get().File();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

template <bool (*write)(const std::string&, int)>
void SmallNew(benchmark::State& state) {
  const int depth = static_cast<int>(state.range(0));
  const std::string path = SmallPictures::Get().Path("new.bmp", depth);
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(path.c_str());
    state.ResumeTiming();
    if (!write(path, depth)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
}

template <bool (*write)(const std::string&, int)>
void SmallReplacing(benchmark::State& state) {
  const int depth = static_cast<int>(state.range(0));
  const std::string path = SmallPictures::Get().Path("old.bmp", depth);
  if (!write(path, depth)) state.SkipWithError("the first write failed");
  for (auto _ : state) {
    if (!write(path, depth)) state.SkipWithError("the write failed");
  }
  ::unlink(path.c_str());
}

BENCHMARK_TEMPLATE(New, Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(New, Fwrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Replacing, Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Replacing, Fwrite)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(SmallNew, SaveSmall)->Arg(3)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(SmallNew, FwriteSmall)->Arg(3)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(SmallReplacing, SaveSmall)->Arg(3)->Arg(14)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(SmallReplacing, FwriteSmall)->Arg(3)->Arg(14)->Unit(benchmark::kMicrosecond);

}  // namespace
