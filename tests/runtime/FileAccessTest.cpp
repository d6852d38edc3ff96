#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/FileAccess.h"
#include "runtime/FileWriteLock.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

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

using ReplacingFileWriterTest = testsupport::TempDirTest;

// A path that names a folder is refused as fopen "wb" refuses it, whether
// the folder exists or not; a /dev/fd name of a descriptor that is not open
// is missing, whatever the writer itself holds open meanwhile, and so is a
// number with a leading zero, even where the descriptor it reads as is open.
TEST_F(ReplacingFileWriterTest, RefusalsCarryTheErrnoOfFopen) {
  ASSERT_TRUE(testsupport::WriteWholeFile(Path("file"), {'x'}));
  const int held = open(Path("file").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_NE(-1, held);
  // The two lowest numbers not in use: the writer's own walk takes them.
  const int unused = dup(0), unusedToo = dup(0);
  ASSERT_TRUE(unused != -1 && unusedToo != -1);
  close(unused);
  close(unusedToo);
  // path, errno
  const std::tuple<std::string, int> kCases[] = {
      {Path("new/"), EISDIR},
      {Path("file/"), EISDIR},
      {dir_.Root(), EISDIR},
      {Path("."), EISDIR},
      {Path("missing/new"), ENOENT},
      {Path("file/new"), ENOTDIR},
      {"/dev/fd/" + std::to_string(unused), ENOENT},
      {"/dev/fd/" + std::to_string(unusedToo), ENOENT},
      {"/dev/fd/0" + std::to_string(held), ENOENT},
      {"/proc/self/fd/0" + std::to_string(held), ENOENT},
  };
  for (const auto& [path, refusal] : kCases) {
    KVO::ReplacingFileWriter writer;
    errno = 0;
    std::FILE* stream = writer.Open(path.c_str());
    EXPECT_EQ(nullptr, stream) << path;
    EXPECT_EQ(refusal, errno) << path;
    if (stream != nullptr) {
      std::fputs("wrongly", stream);
      writer.Finish(stream, true);
    }
  }
  EXPECT_EQ(0, lseek(held, 0, SEEK_CUR));
  close(held);
  EXPECT_EQ(testsupport::Bytes{'x'}, testsupport::ReadWholeFile(Path("file")));
}

// A new name that another file takes while the save runs is treated as a
// file found at Open: one with more links is written in place, so every
// link shows the picture; one with a single link is replaced by a file with
// its mode. Nothing is left under a hidden name.
TEST_F(ReplacingFileWriterTest, ANameTakenWhileSavingIsTreatedAsAnExistingFile) {
  for (const bool linked : {true, false}) {
    SCOPED_TRACE(linked ? "with another link" : "with one link");
    const std::string name = Path(linked ? "linked" : "single"), other = Path("other");
    KVO::ReplacingFileWriter writer;
    std::FILE* stream = writer.Open(name.c_str());
    ASSERT_NE(nullptr, stream);
    ASSERT_EQ(5u, std::fwrite("fresh", 1, 5, stream));
    ASSERT_TRUE(testsupport::WriteWholeFile(name, {'o', 'l', 'd'}));
    ASSERT_EQ(0, chmod(name.c_str(), 0604));
    ASSERT_TRUE(!linked || link(name.c_str(), other.c_str()) == 0);
    struct stat before;
    ASSERT_EQ(0, stat(name.c_str(), &before));
    EXPECT_TRUE(writer.Finish(stream, true));
    struct stat after;
    ASSERT_EQ(0, stat(name.c_str(), &after));
    EXPECT_EQ(testsupport::Bytes({'f', 'r', 'e', 's', 'h'}), testsupport::ReadWholeFile(name));
    EXPECT_EQ(linked, before.st_ino == after.st_ino);
    EXPECT_EQ(0604u, after.st_mode & 07777);
    if (linked) {
      EXPECT_EQ(testsupport::ReadWholeFile(name), testsupport::ReadWholeFile(other));
    }
  }
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
}

// The writer's stream knows where it stands: a writer that rewinds before
// its first byte, seeks back over its bytes or to the end, writes where
// fopen's stream would, in a new file and in one that replaces another.
TEST_F(ReplacingFileWriterTest, AStreamThatSeeksWritesWhereFopensWould) {
  ASSERT_TRUE(testsupport::WriteWholeFile(Path("existing"), {'o', 'l', 'd'}));
  for (const char* name : {"new", "existing"}) {
    SCOPED_TRACE(name);
    KVO::ReplacingFileWriter writer;
    std::FILE* stream = writer.Open(Path(name).c_str());
    ASSERT_NE(nullptr, stream);
    std::rewind(stream);
    EXPECT_EQ(6u, std::fwrite("abcdef", 1, 6, stream));
    EXPECT_EQ(6, std::ftell(stream));
    EXPECT_EQ(0, std::fseek(stream, 1, SEEK_SET));
    EXPECT_EQ(2u, std::fwrite("XY", 1, 2, stream));
    EXPECT_EQ(3, std::ftell(stream));
    EXPECT_EQ(0, std::fseek(stream, 0, SEEK_END));
    EXPECT_EQ(6, std::ftell(stream));
    EXPECT_EQ(0, std::fseek(stream, -1, SEEK_CUR));
    EXPECT_EQ(2u, std::fwrite("gh", 1, 2, stream));
    EXPECT_TRUE(writer.Finish(stream, true));
    EXPECT_EQ(testsupport::Bytes({'a', 'X', 'Y', 'd', 'e', 'g', 'h'}),
              testsupport::ReadWholeFile(Path(name)));
  }
}

// A stream that its caller closes instead of handing it to Finish abandons
// the save, made without a name or under a hidden one: the new name stays
// free, the existing file keeps its bytes, and nothing stays open or behind.
TEST_F(ReplacingFileWriterTest, AStreamClosedByItsCallerLeavesNothingBehind) {
  const testsupport::Bytes old{'o', 'l', 'd'};
  ASSERT_TRUE(testsupport::WriteWholeFile(Path("existing"), old));
  const int descriptors = testsupport::OpenDescriptorCount();
  for (const bool unnamed : {true, false}) {
    KVO::SetReplacingFileWriterUnnamedFiles(unnamed);
    for (const char* name : {"new", "existing"}) {
      KVO::ReplacingFileWriter writer;
      std::FILE* stream = writer.Open(Path(name).c_str());
      ASSERT_NE(nullptr, stream) << name;
      std::fputs("abandoned", stream);
      std::fclose(stream);
    }
  }
  KVO::SetReplacingFileWriterUnnamedFiles(true);
  EXPECT_EQ(descriptors, testsupport::OpenDescriptorCount());
  EXPECT_EQ((std::vector<std::string>{"existing"}), testsupport::FolderNames(dir_.Root()));
  EXPECT_EQ(old, testsupport::ReadWholeFile(Path("existing")));
}

// A socket cannot be opened by name, so a name in /proc that stands for one
// is refused as fopen refuses it, even where the process holds the socket
// open for writing, and the peer receives nothing.
TEST_F(ReplacingFileWriterTest, ASocketBehindTheNameIsRefusedAndSentNothing) {
  int ends[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
  const std::string number = std::to_string(ends[0]);
  for (const std::string& path :
       {"/proc/self/fd/" + number, "/dev/fd/" + number, std::string("/dev/stdout")}) {
    // Standard output is the socket only while the writer opens it.
    const bool standardOutput = path == "/dev/stdout";
    std::fflush(stdout);
    const int out = standardOutput ? dup(1) : -1;
    if (standardOutput) dup2(ends[0], 1);
    KVO::ReplacingFileWriter writer;
    errno = 0;
    std::FILE* stream = writer.Open(path.c_str());
    const int refusal = errno;
    if (stream != nullptr) {
      std::fputs("wrongly", stream);
      writer.Finish(stream, true);
    }
    if (standardOutput) {
      dup2(out, 1);
      close(out);
    }
    EXPECT_EQ(nullptr, stream) << path;
    EXPECT_EQ(ENXIO, refusal) << path;
    char byte = 0;
    EXPECT_EQ(-1, recv(ends[1], &byte, 1, MSG_DONTWAIT)) << path;
    EXPECT_EQ(EAGAIN, errno) << path;
    while (recv(ends[1], &byte, 1, MSG_DONTWAIT) > 0) {
    }
  }
  close(ends[0]);
  close(ends[1]);
}

// Inside /proc the kernel follows the process's own links; beyond them the
// walk goes on as for any path, so the file is replaced whole, not
// truncated in place.
TEST_F(ReplacingFileWriterTest, AFileReachedThroughProcIsReplacedLikeAnyOther) {
  const std::string file = Path("file");
  ASSERT_TRUE(testsupport::WriteWholeFile(file, {'o', 'l', 'd'}));
  struct stat before = {}, after = {};
  ASSERT_EQ(0, stat(file.c_str(), &before));
  KVO::ReplacingFileWriter writer;
  std::FILE* stream = writer.Open(("/proc/self/root" + file).c_str());
  ASSERT_NE(nullptr, stream);
  ASSERT_EQ(3u, std::fwrite("new", 1, 3, stream));
  ASSERT_TRUE(writer.Finish(stream, true));
  ASSERT_EQ(0, stat(file.c_str(), &after));
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(testsupport::Bytes({'n', 'e', 'w'}), testsupport::ReadWholeFile(file));
  EXPECT_EQ(std::vector<std::string>{}, testsupport::HiddenNames(dir_.Root()));
}

// A stream on one of the process's own descriptors stands where the
// descriptor stood: a seek to where it stands (a writer's rewind before its
// first byte, a look at its position) succeeds and moves nothing, a seek
// anywhere else is refused with ESPIPE, and every byte lands in order after
// what the descriptor wrote before.
TEST_F(ReplacingFileWriterTest, AStreamOnAnOwnDescriptorSeeksOnlyToWhereItStands) {
  const std::string file = Path("out");
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_NE(-1, fd);
  ASSERT_EQ(4, write(fd, "head", 4));
  KVO::ReplacingFileWriter writer;
  std::FILE* stream = writer.Open(("/dev/fd/" + std::to_string(fd)).c_str());
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(0, std::fseek(stream, 0, SEEK_SET));
  ASSERT_EQ(3u, std::fwrite("abc", 1, 3, stream));
  EXPECT_EQ(0, std::fseek(stream, 0, SEEK_CUR));
  EXPECT_EQ(3, std::ftell(stream));
  // offset, whence
  const std::tuple<long, int> kAway[] = {{0, SEEK_SET}, {-1, SEEK_CUR}, {0, SEEK_END}};
  for (const auto& [offset, whence] : kAway) {
    errno = 0;
    EXPECT_EQ(-1, std::fseek(stream, offset, whence)) << offset << " from " << whence;
    EXPECT_EQ(ESPIPE, errno) << offset << " from " << whence;
  }
  ASSERT_EQ(3u, std::fwrite("def", 1, 3, stream));
  EXPECT_TRUE(writer.Finish(stream, true));
  EXPECT_EQ(10, lseek(fd, 0, SEEK_CUR));
  close(fd);
  const std::string whole = "headabcdef";
  EXPECT_EQ(testsupport::Bytes(whole.begin(), whole.end()), testsupport::ReadWholeFile(file));
}

std::string replacedTarget, replacement;
int replacements = 0;

// A target that another process replaces every time the writer has opened
// it is given up after 100 tries with EAGAIN, before a byte is written:
// the last file renamed there keeps its bytes, and nothing else is left.
TEST_F(ReplacingFileWriterTest, ATargetReplacedAtEveryOpenIsGivenUpWithEagain) {
  replacedTarget = Path("t.bmp");
  replacement = Path("incoming");
  replacements = 0;
  ASSERT_TRUE(testsupport::WriteWholeFile(replacedTarget, {'o', 'l', 'd'}));
  KVO::SetReplacingFileWriterOpenHook([](const char*) {
    replacements += testsupport::WriteWholeFile(replacement, {'n', 'e', 'w'}) &&
                    rename(replacement.c_str(), replacedTarget.c_str()) == 0;
  });
  KVO::ReplacingFileWriter writer;
  errno = 0;
  std::FILE* stream = writer.Open(replacedTarget.c_str());
  const int refusal = errno;
  KVO::SetReplacingFileWriterOpenHook(nullptr);
  if (stream != nullptr) writer.Finish(stream, false);
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(EAGAIN, refusal);
  EXPECT_EQ(100, replacements);
  EXPECT_EQ(testsupport::Bytes({'n', 'e', 'w'}), testsupport::ReadWholeFile(replacedTarget));
  EXPECT_EQ(std::vector<std::string>{"t.bmp"}, testsupport::FolderNames(dir_.Root()));
}

// A child forked while a save held a file has only the forking thread: the
// lock held by the others must not keep its own saves of that file waiting.
TEST(FileWriteLockTest, AForkedChildFindsNothingHeld) {
  KVO::FileWriteLock held;
  ASSERT_TRUE(held.Acquire(1, 2));
  const pid_t child = fork();
  if (child == 0) {
    KVO::FileWriteLock again;
    testsupport::ExitChild(again.Acquire(1, 2) ? 0 : 1);
  }
  EXPECT_EQ(0, testsupport::WaitForExit(child, 60));
}

}  // namespace
