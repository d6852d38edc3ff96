#ifndef TESTS_IMAGING_JPEGDECODETEST_H_
#define TESTS_IMAGING_JPEGDECODETEST_H_

#include <cstdlib>

#include <gtest/gtest.h>

#include "imaging/JPEGTurbo.h"
#include "imaging/JpegFile.h"
#include "tests/imaging/ImageFileTestSupport.h"

namespace KVO {
namespace testing_support {

// The fixture of tests that feed one stream to every JPEG decoding path.
class JpegDecodeTest : public ImageFileTest {
 protected:
  // Decodes through JpegFile from memory and from a file, and through
  // ReadJPEG; expects the three to agree and answers their top-down rows
  // (B, G, R or grey), or nothing when they refuse.
  Bytes DecodeEveryWay(const Bytes& stream) {
    WriteAll("hostile.jpg", stream);
    JpegFile fromMemory, fromFile;
    unsigned char* data = const_cast<unsigned char*>(stream.data());
    unsigned long length = stream.size();
    fromMemory.SetJpegBuffer(&data, &length);
    Bytes inMemory, inFile;
    unsigned char* turbo = nullptr;
    Quietly([&] {
      if (fromMemory.GetInfo()) {
        inMemory.resize(fromMemory.GetRawSize());
        if (!fromMemory.ReadFromMemory(inMemory.data())) inMemory.clear();
      }
      if (!ReadBack(fromFile, "hostile.jpg", &inFile)) inFile.clear();
      turbo = JPEGTurbo::ReadJPEG(Path("hostile.jpg").c_str(), nullptr, nullptr);
    });
    Bytes topDown;
    if (turbo != nullptr) {
      topDown.assign(turbo, turbo + inFile.size());
      std::free(turbo);
    }
    EXPECT_EQ(inMemory, inFile);
    EXPECT_EQ(inFile.empty(), topDown.empty());
    if (!inFile.empty()) {
      Bytes scratch(inFile.size());
      JPEGTurbo::FlipJPEG(inFile.data(), static_cast<int>(fromFile.GetWidth()),
                          static_cast<int>(fromFile.GetHeight()),
                          static_cast<int>(fromFile.GetChannels()), scratch.data());
      EXPECT_EQ(inFile, topDown);
    }
    return topDown;
  }
};

}  // namespace testing_support
}  // namespace KVO

#endif  // TESTS_IMAGING_JPEGDECODETEST_H_
