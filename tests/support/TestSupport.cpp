#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef TOLVENIX_COVERAGE_BUILD
// The coverage runtime's own flush, linked in by --coverage.
extern "C" void __gcov_dump();
#endif

namespace testsupport {

namespace fs = std::filesystem;

namespace {
void PutLe(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back((value >> (8 * i)) & 0xFF);
}

bool Has(const fs::path& path, fs::perms wanted) {
  std::error_code error;
  const fs::perms have = fs::status(path, error).permissions();
  return !error && (have & wanted) == wanted;
}

// Whether a user who is neither owner nor group member passes through every
// folder from the root to `folder`.
bool EveryoneTraverses(const fs::path& folder) {
  std::error_code error;
  const fs::path real = fs::canonical(folder, error);
  if (error) return false;
  fs::path walked;
  for (const fs::path& part : real) {
    walked /= part;
    if (!Has(walked, fs::perms::others_exec)) return false;
  }
  return true;
}

// Where a folder of that reach goes; empty when nowhere fits.
fs::path BaseFor(TempDir::Reach reach) {
  std::error_code error;
  const fs::path system = fs::temp_directory_path(error);
  if (error) return {};
  if (reach == TempDir::Reach::Owner || EveryoneTraverses(system)) return system;
  // The shared /tmp, which a private TMPDIR hides but every user may use.
  const fs::path shared = "/tmp";
  const fs::perms open = fs::perms::sticky_bit | fs::perms::others_all;
  return Has(shared, open) && EveryoneTraverses(shared) ? shared : fs::path();
}
}  // namespace

TempDir::TempDir(const std::string& prefix, Reach reach) {
  const fs::path base = BaseFor(reach);
  if (base.empty()) return;
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return;
  root_ = pattern;
  if (reach == Reach::EveryUser) {
    // mkdtemp made it 0700; others only pass through, as into a home folder.
    std::error_code error;
    const fs::perms mode = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(root_, mode, error);
    if (error) {
      fs::remove(root_, error);
      root_.clear();
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!root_.empty()) fs::remove_all(root_, ignored);
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

bool TruncateTo(const std::string& path, std::uintmax_t size) {
  std::error_code error;
  const std::uintmax_t now = fs::file_size(path, error);
  if (error || size > now) return false;
  fs::resize_file(path, size, error);
  return !error;
}

bool OverwriteLe(const std::string& path, std::size_t offset, std::uint32_t value, int width) {
  Bytes bytes = ReadWholeFile(path);
  if (offset + width > bytes.size()) return false;
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> 8 * i);
  return WriteWholeFile(path, bytes);
}

Bytes Pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<unsigned char>(state >> 24);
  }
  return bytes;
}

Bytes MakePicture(int width, int height, int channels, int seed) {
  Bytes pixels(static_cast<std::size_t>(width) * height * channels);
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        // A triangle wave: no jumps, so JPEG keeps it close.
        const int t = (x * 3 + y * 5 + c * 40 + seed * 17) % 400;
        pixels[i++] = static_cast<unsigned char>((t < 200 ? t : 399 - t) + 28);
      }
    }
  }
  return pixels;
}

Bytes TwoBands(unsigned width, unsigned height, unsigned channels, bool topDown) {
  static constexpr unsigned char kColour[2][3] = {{200, 40, 30}, {20, 180, 220}};
  Bytes picture(std::size_t{width} * height * channels);
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const std::size_t row = i / (std::size_t{width} * channels);
    picture[i] = kColour[(row >= height / 2) != topDown][i % channels];
  }
  return picture;
}

int MaxBandDifference(const Bytes& a, const Bytes& b, std::size_t rowBytes) {
  if (a.size() != b.size() || a.empty()) return 256;
  const std::size_t height = a.size() / rowBytes;
  const std::size_t quarter = std::max<std::size_t>(height / 4, 1);
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i / rowBytes < quarter || i / rowBytes >= height - quarter) {
      worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    }
  }
  return worst;
}

double MeanAbsDiff(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(a.size());
}

Bytes Convert(const Bytes& pixels, int width, int height, int from, int to) {
  if (from == to) return pixels;
  const std::size_t count = static_cast<std::size_t>(width) * height;
  Bytes out(count * to, 0);  // a fourth channel stays 0
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* s = &pixels[i * from];
    if (to == 1) out[i] = static_cast<unsigned char>((s[0] + s[1] + s[2]) / 3);
    for (int c = 0; to != 1 && c < 3; ++c) out[i * to + c] = s[from == 1 ? 0 : c];
  }
  return out;
}

bool WriteBmp(const std::string& path, int width, int height, int channels,
              const Bytes& bottomUpPixels, bool topDown) {
  const std::uint32_t rowBytes = width * channels;
  const std::uint32_t padded = (rowBytes + 3) / 4 * 4;
  const std::uint32_t offset = channels == 1 ? 1078 : 54;
  Bytes file = {'B', 'M'};
  const std::uint32_t image = padded * height, size = offset + image, w = width;
  const std::uint32_t rows = topDown ? -height : height, planeAndBits = 1u | 8u * channels << 16;
  // Sizes and offset, then header size, dimensions, one plane, bits, no compression.
  const std::uint32_t fields[] = {size, 0, offset, 40, w, rows, planeAndBits, 0, image, 0, 0, 0, 0};
  for (std::uint32_t field : fields) PutLe(file, field, 4);
  if (channels == 1) {
    for (int i = 0; i < 256; ++i) PutLe(file, i * 0x01010101u, 4);
  }
  for (int r = 0; r < height; ++r) {
    const int row = topDown ? height - 1 - r : r;
    auto first = bottomUpPixels.begin() + static_cast<std::size_t>(row) * rowBytes;
    file.insert(file.end(), first, first + rowBytes);
    file.insert(file.end(), padded - rowBytes, 0);
  }
  return WriteWholeFile(path, file);
}

int WaitForExit(pid_t child, int seconds) {
  if (child <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done == -1 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
      }
      return -1;
    }
    const timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
  }
}

std::string DeepPath(const std::string& folder, std::size_t length, char fill) {
  std::string path = folder;
  while (path.size() + 1 + 200 + 1 + 8 < length) {
    path += '/' + std::string(200, 'd');
    if (mkdir(path.c_str(), 0755) != 0) return "";
  }
  return path + '/' + std::string(length - path.size() - 1, fill);
}

std::vector<std::string> HiddenNames(const std::string& folder) {
  std::vector<std::string> hidden;
  DIR* listing = opendir(folder.c_str());
  while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
    const std::string name = entry->d_name;
    if (name[0] == '.' && name != "." && name != "..") hidden.push_back(name);
  }
  if (listing != nullptr) closedir(listing);
  return hidden;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* listing = opendir(folder.c_str());
  while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (listing != nullptr) closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

int OpenDescriptorCount() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count;
}

namespace {
// A private mount namespace for the calling process, whose mounts no other
// process sees.
bool OwnMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
}  // namespace

bool MountPrivately(const std::string& source, const std::string& target, const char* type,
                    unsigned long flags, const char* options) {
  return OwnMountNamespace() && mount(source.c_str(), target.c_str(), type, flags, options) == 0;
}

bool HideProc() { return MountPrivately("none", "/proc", "tmpfs", 0, "size=16k"); }

bool SeeProtectionSettings(const std::string& folder, int symlinks, int regular, int fifos) {
  if (!OwnMountNamespace()) return false;
  const std::pair<const char*, int> values[] = {
      {"protected_symlinks", symlinks}, {"protected_regular", regular}, {"protected_fifos", fifos}};
  for (const auto& [name, value] : values) {
    const std::string file = folder + name;
    const std::string text = value < 0 ? "" : std::to_string(value) + "\n";
    if (!WriteWholeFile(file, Bytes(text.begin(), text.end())) ||
        mount(file.c_str(), (std::string("/proc/sys/fs/") + name).c_str(), nullptr, MS_BIND,
              nullptr) != 0) {
      return false;
    }
  }
  return true;
}

void ExitChild(int status) {
#ifdef TOLVENIX_COVERAGE_BUILD
  __gcov_dump();
#endif
  _exit(status);
}

}  // namespace testsupport
