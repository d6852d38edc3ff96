#ifndef TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
#define TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "imaging/AbstractImageFile.h"
#include "tests/support/TempDirTest.h"
#include "tests/support/TestSupport.h"

namespace KVO {
namespace testing_support {

using testsupport::Bytes;

// An in-memory stream for write failures: the failAt-th write (from 1; 0:
// none) and every write that would pass `limit` bytes fail, while the others
// land in `bytes`, so only the writer's own check of that one result can
// notice. Seeking finds a stream of `size` bytes, so a class that measures
// its file sees one; reads find nothing. Unbuffered unless asked, so each
// fwrite is one write. The object must outlive the stream.
struct FailingSink {
  int failAt = 0;
  long limit = LONG_MAX;
  long size = 0;
  int calls = 0;
  long position = 0;
  Bytes bytes;

  std::FILE* Open(bool buffered = false) {
    static const cookie_io_functions_t kFunctions = {
        [](void*, char*, std::size_t) -> ssize_t { return 0; },
        [](void* self, const char* data, std::size_t count) -> ssize_t {
          auto* sink = static_cast<FailingSink*>(self);
          const long end = sink->position + static_cast<long>(count);
          if (++sink->calls == sink->failAt || end > sink->limit) return 0;
          sink->bytes.insert(sink->bytes.end(), data, data + count);
          sink->position = end;
          return static_cast<ssize_t>(count);
        },
        [](void* self, off64_t* offset, int whence) {
          auto* sink = static_cast<FailingSink*>(self);
          const long base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? sink->position
                                                 : sink->size;
          sink->position = base + static_cast<long>(*offset);
          *offset = sink->position;
          return 0;
        },
        nullptr};
    std::FILE* stream = fopencookie(this, "r+b", kFunctions);
    if (stream != nullptr && !buffered) std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
  }
};

// The file classes' fixture: a scratch folder, files named within it, and
// the damage verbs, each asserting that the damage could be done.
class ImageFileTest : public testsupport::TempDirTest {
 protected:
  Bytes ReadAll(const std::string& name) const { return testsupport::ReadWholeFile(Path(name)); }
  void WriteAll(const std::string& name, const Bytes& bytes) const {
    ASSERT_TRUE(testsupport::WriteWholeFile(Path(name), bytes));
  }

  // Open for reading, GetInfo, then ReadFile into exactly GetRawSize() bytes
  // (so ASan reports any write beyond); answers whether every step passed.
  bool ReadBack(AbstractImageFile& file, const std::string& name, Bytes* pixels = nullptr) {
    Bytes scratch;
    if (pixels == nullptr) pixels = &scratch;
    if (!file.Open(Path(name).c_str(), true) || !file.GetInfo()) return false;
    pixels->assign(file.GetRawSize(), 0);
    return file.ReadFile(pixels->data());
  }

  // Runs `call` with stderr captured (the codec prints there); answers it.
  template <typename Call>
  static std::string Quietly(Call&& call) {
    ::testing::internal::CaptureStderr();
    call();
    return ::testing::internal::GetCapturedStderr();
  }

  void TruncateTo(const std::string& name, std::uintmax_t size) {
    ASSERT_TRUE(testsupport::TruncateTo(Path(name), size));
  }
  void Overwrite(const std::string& name, std::size_t offset, std::uint32_t value, int width) {
    ASSERT_TRUE(testsupport::OverwriteLe(Path(name), offset, value, width));
  }
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_IMAGEFILETESTSUPPORT_H_
