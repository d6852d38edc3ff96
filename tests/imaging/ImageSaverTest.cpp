#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "imaging/ImageSaver.h"
#include "imaging/UserDataImageBuffer.h"
#include "tests/support/TestSupport.h"

namespace {

using KVO::ImageFileFormat;
using KVO::ImageSaver;
using testsupport::Bytes;

constexpr int kWidth = 35;
constexpr int kHeight = 39;

bool IsBmp(const std::string& path) {
  const Bytes file = testsupport::ReadWholeFile(path);
  return file.size() > 2 && file[0] == 'B' && file[1] == 'M';
}

class ImageSaverTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  const Bytes picture = testsupport::MakePicture(kWidth, kHeight, 4);
};

TEST_F(ImageSaverTest, FormatFollowsTheNameUnlessABitmapIsAsked) {
  // The full path is what is measured, so even "b.jpg" is long enough.
  for (const char* name : {"a.bmp", "picture.jpg", "b.jpg"}) {
    const std::string path = dir.Path(name);
    ASSERT_TRUE(ImageSaver::Save(path.c_str(), 4, 4, 3, picture.data(), ImageFileFormat::Auto, 0));
    EXPECT_EQ(testsupport::ReadWholeFile(path).at(0), name[0] == 'a' ? 'B' : 0xFF) << name;
  }
  const std::string looks = dir.Path("looks.jpg"), other = dir.Path("other.jpg");
  ImageSaver saver;
  ASSERT_TRUE(static_cast<KVO::ImageSaverInterface&>(saver).SaveBitmap(looks.c_str(), 5, 3, 3,
                                                                       picture.data()));
  EXPECT_TRUE(IsBmp(looks));
  ASSERT_TRUE(ImageSaver::StaticSaveBitmap(other.c_str(), 5, 3, 3, picture.data()));
  EXPECT_EQ(testsupport::ReadWholeFile(looks), testsupport::ReadWholeFile(other));
}

TEST_F(ImageSaverTest, RefusedSavesNeverTouchTheFileSystem) {
  // Formats without a class create no file.
  const std::string absent = dir.Path("three.bmp");
  for (int format : {3, 7}) {
    EXPECT_FALSE(ImageSaver::Save(absent.c_str(), 4, 4, 3, picture.data(),
                                  static_cast<ImageFileFormat>(format), 0));
  }
  EXPECT_FALSE(testsupport::Exists(absent));

  // Other refusals leave an existing file of the name as it was.
  const std::string path = dir.Path("keep.jpg");
  const Bytes original = {'k', 'e', 'e', 'p'};
  testsupport::WriteWholeFile(path, original);
  const std::vector<std::tuple<int, int, int, ImageFileFormat>> refused = {
      {4, 4, 2, ImageFileFormat::Jpeg},        {4, 4, 4, ImageFileFormat::Jpeg},
      {0, 4, 3, ImageFileFormat::Jpeg},        {65501, 1, 1, ImageFileFormat::Jpeg},
      {4, 4, 1, ImageFileFormat::BayerRaw},     // raw Bayer of a non-empty image
      {70000, 70000, 1, ImageFileFormat::Bmp},  // BMP size fields would wrap at 32 bits
      {4, 4, 0, ImageFileFormat::Bmp},         {4, 4, 5, ImageFileFormat::Bmp},
  };
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 4, 4, 3, nullptr, ImageFileFormat::Bmp, 0));
  for (const auto& [width, height, channels, format] : refused) {
    EXPECT_FALSE(ImageSaver::Save(path.c_str(), width, height, channels, picture.data(), format, 0))
        << width << "x" << height << "x" << channels;
  }
  // An image whose width, height, channels or stride went negative (they
  // are the host's to set).
  using Image = KVO::ImageBase<unsigned char>;
  Bytes pixels = picture;
  int negative = 0;
  for (int Image::*field : {&Image::width, &Image::height, &Image::channels, &Image::stride}) {
    KVO::UserDataGenericBuffer<unsigned char> view(0, 0, 0, false);
    view.Reset(4, 4, 3, pixels.data(), 0);
    view.*field = -1;
    EXPECT_FALSE(ImageSaver::Save(path.c_str(), view, ImageFileFormat::Bmp))
        << "field " << negative;
    ++negative;
  }
  EXPECT_EQ(original, testsupport::ReadWholeFile(path));

  // An empty raw Bayer save is accepted and writes an empty file.
  const std::string raw = dir.Path("empty.raw");
  testsupport::WriteWholeFile(raw, original);
  EXPECT_TRUE(ImageSaver::Save(raw.c_str(), 0, 0, 0, picture.data(), ImageFileFormat::Auto, 0));
  EXPECT_TRUE(testsupport::ReadWholeFile(raw).empty());
}

TEST_F(ImageSaverTest, AFailedSaveLeavesTheOldFileAndNoTemporary) {
  const std::string path = dir.Path("old.bmp");
  ASSERT_TRUE(ImageSaver::Save(path.c_str(), 5, 3, 3, picture.data(), ImageFileFormat::Bmp, 0));
  const Bytes before = testsupport::ReadWholeFile(path);
  const Bytes large = testsupport::MakePicture(200, 200, 3);
  // Writes beyond 4 KiB fail (EFBIG) in a child, so the limit stays there.
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    bool anySaved = setrlimit(RLIMIT_FSIZE, &limit) != 0;
    for (ImageFileFormat format : {ImageFileFormat::Bmp, ImageFileFormat::Jpeg}) {
      anySaved |= ImageSaver::Save(path.c_str(), 200, 200, 3, large.data(), format, 0);
    }
    testsupport::ExitChild(anySaved ? 1 : 0);
  }
  EXPECT_EQ(0, testsupport::WaitForExit(child));
  EXPECT_EQ(before, testsupport::ReadWholeFile(path));
  EXPECT_EQ(1, std::distance(boost::filesystem::directory_iterator(dir.Root()), {}));
}

TEST_F(ImageSaverTest, AFolderThatTakesNoTemporaryIsWrittenInPlace) {
  const std::string folder = dir.Path("sealed"), path = folder + "/f.bmp";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  testsupport::WriteWholeFile(path, {'o', 'l', 'd'});
  // Root ignores permission bits, but not an immutable folder.
  const int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  const bool immutable = ioctl(handle, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_IMMUTABLE_FL, ioctl(handle, FS_IOC_SETFLAGS, &flags) == 0);
  if (!immutable && (geteuid() == 0 || chmod(folder.c_str(), 0555) != 0)) {
    close(handle);
    GTEST_SKIP() << "no way to seal a folder here";
  }
  struct stat before, after;
  stat(path.c_str(), &before);
  // Refused before the file is opened, and so before it would be truncated.
  EXPECT_FALSE(ImageSaver::Save(path.c_str(), 4, 4, 5, picture.data(), ImageFileFormat::Bmp, 0));
  EXPECT_EQ((Bytes{'o', 'l', 'd'}), testsupport::ReadWholeFile(path));
  EXPECT_TRUE(ImageSaver::StaticSaveBitmap(path.c_str(), 5, 3, 3, picture.data()));
  stat(path.c_str(), &after);
  flags &= ~FS_IMMUTABLE_FL;
  if (immutable) ioctl(handle, FS_IOC_SETFLAGS, &flags);
  close(handle);
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_TRUE(IsBmp(path));
}

class StridedSaveTest : public ImageSaverTest,
                        public ::testing::WithParamInterface<ImageFileFormat> {};

TEST_P(StridedSaveTest, StrideIsHonoured) {
  const ImageFileFormat format = GetParam();
  const Bytes packed = testsupport::MakePicture(kWidth, kHeight, 3);
  const int stride = kWidth * 3 + 13;
  Bytes strided(static_cast<std::size_t>(stride) * kHeight, 0xFF);
  for (int y = 0; y < kHeight; ++y) {
    std::copy_n(packed.begin() + y * kWidth * 3, kWidth * 3, strided.begin() + y * stride);
  }
  KVO::UserDataGenericBuffer<unsigned char> view(0, 0, 0, false);
  view.Reset(kWidth, kHeight, 3, strided.data(), stride);
  const std::string expected = dir.Path("packed"), fromStride = dir.Path("strided"),
                    fromView = dir.Path("view"), bitmap = dir.Path("bitmap");
  ASSERT_TRUE(ImageSaver::Save(expected.c_str(), kWidth, kHeight, 3, packed.data(), format, 0));
  ASSERT_TRUE(
      ImageSaver::Save(fromStride.c_str(), kWidth, kHeight, 3, strided.data(), format, stride));
  ASSERT_TRUE(ImageSaver::Save(fromView.c_str(), view, format));
  // The same encoder on the same pixels writes the same bytes.
  EXPECT_EQ(testsupport::ReadWholeFile(expected), testsupport::ReadWholeFile(fromStride));
  EXPECT_EQ(testsupport::ReadWholeFile(expected), testsupport::ReadWholeFile(fromView));
  if (format != ImageFileFormat::Bmp) return;
  // SaveBitmap of an image takes its rows packed, whatever the stride.
  ASSERT_TRUE(ImageSaver().SaveBitmap(bitmap.c_str(), view));
  ASSERT_TRUE(ImageSaver::Save(expected.c_str(), kWidth, kHeight, 3, strided.data(), format, 0));
  EXPECT_EQ(testsupport::ReadWholeFile(expected), testsupport::ReadWholeFile(bitmap));
}

INSTANTIATE_TEST_SUITE_P(Formats, StridedSaveTest,
                         ::testing::Values(ImageFileFormat::Bmp, ImageFileFormat::Jpeg));

}  // namespace
