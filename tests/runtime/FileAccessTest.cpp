#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "runtime/FileAccess.h"
#include "tests/support/TempDirTest.h"

namespace {

using OpenRegularFileForReadingTest = testsupport::TempDirTest;

// Only a regular file opens, links followed: anything else answers null with
// EINVAL before a byte is read (a FIFO without a writer would block a plain
// open), and a path that does not open keeps the open's errno. An opened
// stream reads as one from fopen would: blocking, and closed on exec.
TEST_F(OpenRegularFileForReadingTest, OnlyARegularFileOpens) {
  const std::string file = Path("file");
  ASSERT_TRUE(testsupport::WriteWholeFile(file, {'a', 'b', 'c'}));
  ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
  ASSERT_EQ(0, symlink(file.c_str(), Path("link").c_str()));
  ASSERT_EQ(0, symlink(dir_.Root().c_str(), Path("folder-link").c_str()));
  // path, errno of the refusal (0: opens)
  const std::tuple<std::string, int> kCases[] = {
      {file, 0},
      {Path("link"), 0},
      {Path("fifo"), EINVAL},
      {dir_.Root(), EINVAL},
      {Path("folder-link"), EINVAL},
      {"/dev/null", EINVAL},
      {Path("missing"), ENOENT},
  };
  for (const auto& [path, refusal] : kCases) {
    errno = 0;
    std::FILE* stream = KVO::OpenRegularFileForReading(path.c_str());
    if (refusal != 0) {
      EXPECT_EQ(nullptr, stream) << path;
      EXPECT_EQ(refusal, errno) << path;
      if (stream != nullptr) std::fclose(stream);
      continue;
    }
    ASSERT_NE(nullptr, stream) << path;
    EXPECT_NE(0, fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC) << path;
    EXPECT_EQ(0, fcntl(fileno(stream), F_GETFL) & O_NONBLOCK) << path;
    char text[4] = {};
    EXPECT_EQ(3u, std::fread(text, 1, sizeof text, stream)) << path;
    EXPECT_EQ(std::string("abc"), text) << path;
    std::fclose(stream);
  }
  EXPECT_EQ(nullptr, KVO::OpenRegularFileForReading(nullptr));
}

}  // namespace
