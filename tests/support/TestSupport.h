#ifndef TESTS_SUPPORT_TESTSUPPORT_H_
#define TESTS_SUPPORT_TESTSUPPORT_H_

// Helpers shared by the tests, the benchmarks and the seed maker: scratch
// folders, pattern pictures, whole-file reads and writes, and the damage
// verbs that turn a valid file into a broken one. No GoogleTest here, so
// programs without it link this too. Nothing throws: failures are results.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes. Root() is empty when it could not be made.
//
// Reach::EveryUser is for tests whose children switch to other users: the
// folder gets mode 0711 and is made under the temporary folder only when
// every user may pass through each folder of its path (a private TMPDIR
// fails that), else under /tmp when that is sticky, world-writable and
// reachable; with neither, Root() is empty.
class TempDir {
 public:
  enum class Reach { Owner, EveryUser };
  explicit TempDir(const std::string& prefix = "tolvenix", Reach reach = Reach::Owner);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& name) const { return root_ + "/" + name; }
  std::string Root() const { return root_.empty() ? root_ : root_ + "/"; }  // ends in '/'

 private:
  std::string root_;
};

// Whole files. A read of a missing file answers no bytes.
Bytes ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);
// A path of exactly `length` characters under `folder` (no trailing '/'):
// folders of 200-character names are made down to where the last name,
// made of `fill` and at least 8 characters long, completes it. The last
// name itself is not made. Empty when a folder cannot be made.
std::string DeepPath(const std::string& folder, std::size_t length, char fill);

// Names in `folder` that start with a dot, as the saver's temporaries do
// ("." and ".." aside).
std::vector<std::string> HiddenNames(const std::string& folder);
// Every name in `folder` ("." and ".." aside), sorted: all that a save left.
std::vector<std::string> FolderNames(const std::string& folder);

// Damage verbs; each answers false (and leaves the file) when the file is
// missing or shorter than the damage needs.
bool TruncateTo(const std::string& path, std::uintmax_t size);
// Stores value little-endian in `width` bytes at offset.
bool OverwriteLe(const std::string& path, std::size_t offset, std::uint32_t value, int width);

// Deterministic pseudo-random bytes (no two neighbouring rows equal).
Bytes Pattern(std::size_t size, unsigned seed = 1);

// A smooth picture (so JPEG loss stays small) whose rows all differ, packed,
// first row in memory = bottom row.
Bytes MakePicture(int width, int height, int channels, int seed = 0);

// Two flat bands (B, G, R; grey uses the first byte): JPEG output varies
// with the codec's version, so JPEG pictures are compared within
// kJpegTolerance. The first rows in memory have the first colour, or the
// second when the rows are top-down.
constexpr int kJpegTolerance = 12;
Bytes TwoBands(unsigned width, unsigned height, unsigned channels, bool topDown = false);
// Largest difference outside the middle half of the rows (every row of a
// picture under 4 rows high): chroma upsampling blurs the band edge, the
// rest is flat. 256 when the sizes differ.
int MaxBandDifference(const Bytes& a, const Bytes& b, std::size_t rowBytes);
// Mean absolute difference; 1e9 when the sizes differ or both are empty.
double MeanAbsDiff(const Bytes& a, const Bytes& b);

// What the loader's conversions make of a packed picture: grey is the
// average rounded down, grey to colour replicates, a fourth channel is 0.
Bytes Convert(const Bytes& pixels, int width, int height, int from, int to);

// Writes an uncompressed BMP by hand, independent of the library's writer.
// `bottomUpPixels` is packed with the bottom row first; with `topDown` the
// header carries a negative height and the rows are stored top row first.
bool WriteBmp(const std::string& path, int width, int height, int channels,
              const Bytes& bottomUpPixels, bool topDown = false);

// The exit code of a forked child, waited for at most `seconds` (a bound
// only a hang reaches); a child still running then is killed and reaped.
// -1 when it was killed, died of a signal or could not be waited for.
int WaitForExit(pid_t child, int seconds = 120);

// Entries of /proc/self/fd (the listing's own descriptor among them): equal
// before and after a call that closed every file it opened. -1 when the
// folder cannot be listed.
int OpenDescriptorCount();

// Makes the calling process (a forked child) see `symlinks`, `regular` and
// `fifos` as the kernel's shared-folder settings
// /proc/sys/fs/protected_{symlinks,regular,fifos}: files holding them are
// written into `folder` (which ends in '/') and mounted over the settings in
// a private mount namespace of the process's own. A negative value gives an
// empty file, a setting that cannot be read. Only the library reads them
// there; the kernel goes on with its own. Answers false where the namespace
// or a mount cannot be made (not root, or no namespaces allowed).
bool SeeProtectionSettings(const std::string& folder, int symlinks, int regular, int fifos);

// Gives the calling process (a forked child) a private mount namespace of
// its own and mounts `source` on `target` there, as mount(2) does with
// `type`, `flags` and `options` (a null type and MS_BIND bind a file or
// folder), so that nothing stays mounted once the process ends. False where
// the namespace or the mount cannot be made (not root, or no namespaces
// allowed).
bool MountPrivately(const std::string& source, const std::string& target, const char* type,
                    unsigned long flags, const char* options);
// Hides /proc from the calling process (a forked child) under an empty
// file system, as a sandbox may leave it out; false as MountPrivately.
bool HideProc();

// Ends a forked child (or a death test's statement) with `status`, without
// exit handlers, as _exit does. In a coverage build it first writes the
// child's counts, which exit handlers would otherwise have written, so code
// that only children run is counted too.
[[noreturn]] void ExitChild(int status);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_TESTSUPPORT_H_
