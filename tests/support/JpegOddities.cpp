#include "tests/support/JpegOddities.h"

#include <cstddef>
#include <initializer_list>

#include "tests/support/JpegStreams.h"

namespace testsupport {

namespace {

constexpr unsigned char kStartOfScan = 0xDA;

bool IsRestartMarker(unsigned char marker) { return marker >= 0xD0 && marker <= 0xD7; }

Bytes Encode(unsigned width, unsigned height, const JpegCoding& coding = {}) {
  return EncodeJpeg(width, height, 3, MakePicture(width, height, 3), coding);
}

Bytes Inserted(Bytes stream, std::size_t at, std::initializer_list<unsigned char> bytes) {
  stream.insert(stream.begin() + at, bytes);
  return stream;
}

// Header segments (before the first scan) with the given marker, removed.
Bytes WithoutSegments(Bytes stream, unsigned char marker) {
  std::size_t at = 2;
  while (at + 3 < stream.size() && stream[at] == 0xFF && stream[at + 1] != kStartOfScan) {
    const std::size_t length = 2 + (stream[at + 2] << 8 | stream[at + 3]);
    if (stream[at + 1] == marker) {
      stream.erase(stream.begin() + at, stream.begin() + at + length);
    } else {
      at += length;
    }
  }
  return stream;
}

// Offsets of the restart markers in the scan data.
std::vector<std::size_t> RestartMarkers(const Bytes& stream) {
  std::vector<std::size_t> markers;
  for (std::size_t i = JpegScanHeaderEnd(stream, FindJpegMarker(stream, kStartOfScan));
       i + 1 < stream.size(); ++i) {
    if (stream[i] == 0xFF && IsRestartMarker(stream[i + 1])) markers.push_back(i);
  }
  return markers;
}

Bytes WithBytesBeforeRestarts(Bytes stream, std::initializer_list<unsigned char> padding) {
  const std::vector<std::size_t> markers = RestartMarkers(stream);
  for (auto at = markers.rbegin(); at != markers.rend(); ++at) {
    stream.insert(stream.begin() + *at, padding);
  }
  return stream;
}

// A webcam's motion-JPEG frame: an AVI1 segment instead of JFIF, no Huffman
// tables (the standard ones are meant), a restart marker after every row of
// blocks (ten rows, so the numbers wrap) and padding before each. Its plain
// twin is the codec's own stream of the same picture.
struct MotionFrame {
  Bytes plain;
  Bytes padded;
};

MotionFrame MakeMotionFrame() {
  JpegCoding coding;
  coding.restartRows = 1;
  MotionFrame frame;
  frame.plain = Encode(48, 160, coding);
  const Bytes bare = WithoutSegments(WithoutSegments(frame.plain, 0xC4), 0xE0);
  const Bytes avi =
      Inserted(bare, 2, {0xFF, 0xE0, 0, 16, 'A', 'V', 'I', '1', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  frame.padded = WithBytesBeforeRestarts(avi, {0, 0, 0});
  return frame;
}

Bytes Progressive() {
  JpegCoding coding;
  coding.progressive = true;
  return Encode(48, 40, coding);
}

// libjpeg writes its JFIF segment right after the start marker: these are
// offsets into it.
constexpr std::size_t kJfifVersion = 11;
constexpr std::size_t kJfifThumbnail = 18;

}  // namespace

std::vector<JpegOddity> HarmlessJpegOddities() {
  const Bytes baseline = Encode(48, 40);
  const std::size_t tables = FindJpegMarker(baseline, 0xDB);
  std::vector<JpegOddity> cases;

  const MotionFrame frame = MakeMotionFrame();
  cases.push_back({"motion-JPEG frame with padding before its restart markers", frame.padded,
                   frame.plain, "extraneous bytes before marker 0xd0"});

  cases.push_back({"00 00 before a DQT", Inserted(baseline, tables, {0, 0}), baseline,
                   "2 extraneous bytes before marker 0xdb"});
  cases.push_back({"FF 00 before a DQT", Inserted(baseline, tables, {0xFF, 0}), baseline,
                   "2 extraneous bytes before marker 0xdb"});
  // The segment's length covers its name only: the rest is stray.
  cases.push_back({"junk after a cut-short APP14",
                   Inserted(baseline, tables,
                            {0xFF, 0xEE, 0, 7, 'A', 'd', 'o', 'b', 'e', 0, 0x64, 0, 0, 0, 0, 1}),
                   baseline, "7 extraneous bytes before marker 0xdb"});
  cases.push_back(
      {"stray bytes before an APP1",
       Inserted(baseline, tables, {1, 2, 3, 0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0}), baseline,
       "3 extraneous bytes before marker 0xe1"});

  const Bytes progressive = Progressive();
  Bytes strays = progressive;
  const auto scans = FindJpegScans(progressive);
  for (std::size_t i = scans.size() - 1; i-- > 0;) {
    strays = Inserted(strays, scans[i].second, {0x12, 0x34, 0x56});
  }
  cases.push_back({"stray bytes between progressive scans", strays, progressive,
                   "extraneous bytes before marker"});

  Bytes revision = baseline;
  revision.at(kJfifVersion) = 2;
  revision.at(kJfifVersion + 1) = 1;
  cases.push_back({"JFIF revision 2.01", revision, baseline, "unknown JFIF revision number 2.01"});
  Bytes thumbnail = baseline;
  thumbnail.at(kJfifThumbnail) = thumbnail.at(kJfifThumbnail + 1) = 4;
  cases.push_back({"JFIF thumbnail size without its data", thumbnail, baseline, ""});
  cases.push_back({"ICC segment numbered 2 of 1",
                   Inserted(baseline, tables,
                            {0xFF, 0xE2, 0, 16, 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L',
                             'E', 0, 2, 1}),
                   baseline, ""});

  Bytes zeros = baseline;
  const std::size_t scanEnd = JpegScanHeaderEnd(zeros, FindJpegMarker(zeros, kStartOfScan));
  zeros.at(scanEnd - 3) = zeros.at(scanEnd - 2) = zeros.at(scanEnd - 1) = 0;
  cases.push_back({"sequential scan header with Ss, Se, Ah and Al all 0", zeros, baseline,
                   "Invalid SOS parameters for sequential JPEG"});
  return cases;
}

std::vector<JpegOddity> DamagedJpegTwins() {
  std::vector<JpegOddity> cases;
  const MotionFrame frame = MakeMotionFrame();
  const std::vector<std::size_t> restarts = RestartMarkers(frame.padded);
  cases.push_back({"padded frame cut inside an interval, end marker put back",
                   CutJpegAt(frame.padded, (restarts.at(4) + restarts.at(5)) / 2),
                   {},
                   ""});
  // RST7 where RST3 belongs: too far off for the decoder to skip ahead, so
  // it only warns and decodes on.
  Bytes renumbered = frame.padded;
  renumbered.at(restarts.at(3) + 1) = 0xD7;
  cases.push_back({"padded frame with a restart marker renumbered", renumbered, {}, ""});
  // Its frame header claims half the rows: the marker reader then walks
  // into the rest of the scan data.
  Bytes shortFrame = frame.plain;
  SetJpegFrameSize(&shortFrame, 48, 80);
  cases.push_back({"frame header shorter than its restart-marked scan", shortFrame, {}, ""});

  const Bytes progressive = Progressive();
  const auto scans = FindJpegScans(progressive);
  for (std::size_t i = 0; i < scans.size(); ++i) {
    const std::size_t data = JpegScanHeaderEnd(progressive, scans[i].first);
    if (scans[i].second - data < 4) continue;
    Bytes halved = progressive;
    halved.erase(halved.begin() + (data + scans[i].second) / 2, halved.begin() + scans[i].second);
    cases.push_back({"progressive scan " + std::to_string(i) + " cut in half", halved, {}, ""});
  }

  const Bytes baseline = Encode(48, 40);
  const std::size_t tables = FindJpegMarker(baseline, 0xDB);
  const Bytes padded = Inserted(baseline, tables, {0, 0});
  const std::size_t data = JpegScanHeaderEnd(padded, FindJpegMarker(padded, kStartOfScan));
  cases.push_back({"padding in the header, then a cut scan",
                   CutJpegAt(padded, (data + padded.size()) / 2),
                   {},
                   ""});
  cases.push_back({"stray bytes and a restart marker between header segments",
                   Inserted(baseline, tables, {0x12, 0x34, 0xFF, 0xD0}),
                   {},
                   ""});
  return cases;
}

}  // namespace testsupport
