#ifndef TESTS_IMAGING_IMAGETESTFILES_H_
#define TESTS_IMAGING_IMAGETESTFILES_H_

#include <boost/filesystem/path.hpp>
#include <string>
#include <vector>

namespace testfiles {

using Bytes = std::vector<unsigned char>;

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& name) const;
  std::string Root() const;  // ends in a separator

 private:
  boost::filesystem::path root;
};

// A smooth picture (so JPEG loss stays small) whose rows all differ, packed,
// first row in memory = bottom row.
Bytes MakePicture(int width, int height, int channels, int seed = 0);

// Writes an uncompressed BMP by hand, independent of the library's writer.
// `bottomUpPixels` is packed with the bottom row first; with `topDown` the
// header carries a negative height and the rows are stored top row first.
// `bitsPerPixel` 0 means 8 * channels; any other value is written as given
// (for 1-, 4- and 16-bit headers) with rows of width * channels bytes.
void WriteBmp(const std::string& path, int width, int height, int channels,
              const Bytes& bottomUpPixels, bool topDown = false, int bitsPerPixel = 0);

// What the loader's conversions make of a packed picture: grey is the
// average rounded down, grey to colour replicates, a fourth channel is 0.
Bytes Convert(const Bytes& pixels, int width, int height, int from, int to);

Bytes ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);

// Mean absolute difference; for comparing decoded JPEG with its source.
double MeanAbsDiff(const Bytes& a, const Bytes& b);

}  // namespace testfiles

#endif  // TESTS_IMAGING_IMAGETESTFILES_H_
