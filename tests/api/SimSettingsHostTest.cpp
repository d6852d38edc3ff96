// Settings, queries and the state snapshot, through the shared library only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::Type;

// A snapshot field: offset, size in bytes, and the value expected in its low
// bytes (little-endian), so that signed and unsigned fields read alike.
struct Field {
  size_t offset, bytes;
  int64_t value;
};

// The snapshot as raw bytes, read at the documented offsets without the
// record's field names. One guard byte past the record shows an overrun.
class StateBytes {
 public:
  StateBytes() { std::memset(bytes, 0xCC, sizeof bytes); }
  bool Fill() { return SIMGetAPIState(reinterpret_cast<API_State*>(bytes)); }
  template <size_t N>
  void Expect(const Field (&fields)[N]) const {
    for (const Field& f : fields) {
      int64_t actual = 0, expected = 0;
      std::memcpy(&actual, bytes + f.offset, f.bytes);
      std::memcpy(&expected, &f.value, f.bytes);
      EXPECT_EQ(actual, expected) << "at offset " << f.offset;
    }
  }

  uint8_t bytes[sizeof(API_State) + 1];
};

StateBytes Snapshot() {
  StateBytes state;
  EXPECT_TRUE(state.Fill());
  return state;
}

using SimSettings = simtest::SimTest;

TEST_F(SimSettings, WithoutARunSettersAndQueriesAnswerTheirRefusalAndLeaveNoTrace) {
  unsigned char bytes[4] = {};
  API_BasicMetadata metadata{};
  // Each refuses, so each is called.
  EXPECT_FALSE(SIMSetDEM(bytes, 1, API_GEOLOC_METHOD_DEFAULT) ||
               SIMSetSensitivity(API_TYPE_LAND, 1) ||
               SIMSetSensitivity(static_cast<API_TypeEnum>(7), 1) || SIMSetOverlay(bytes) ||
               SIMSetOverlay(nullptr) || SIMSetMGRSPrecision(0) || SIMSetFpsCap(20) ||
               SIMSetAutoBorder(true) || SIMSetParallaxFilter(true) ||
               SIMConfigureStabilizationTransform(5) || SIMUpdateMetadata(0, nullptr) ||
               SIMSetMetadata(&metadata) || SIMSetPredictiveIdAggressiveness(1) ||
               SIMSetDesiredBreadcrumbTrailLength(1) || SIMSetDesiredBreadcrumbLifeTime(1) ||
               SIMResetPersistenceData() || SIMSetupHorizon(true, 1, 2, 3, 4) ||
               SIMSetDeadPixelDetectionStrength(3) || SIMSetBorderMask(0, 0, 10, 10));
  EXPECT_TRUE(SIMClearBorderMaskAndOverlay());
  // Queries answer their refusal and write nothing; the versions answer
  // always, skipping null pointers.
  StateBytes state;
  EXPECT_FALSE(state.Fill());
  for (size_t i = 0; i <= sizeof(API_State); ++i) EXPECT_EQ(state.bytes[i], 0xCC) << i;
  EXPECT_FALSE(SIMGetAPIState(nullptr));
  API_RemoteStatus remote{5, 6, 7, 8};
  EXPECT_FALSE(SIMGetRemoteStatus(&remote));
  EXPECT_EQ(remote.value1, 6u);
  EXPECT_EQ(SIMGetAPIStatus(), 9);
  EXPECT_EQ(SIMGetAvgConfidenceLevel(), -1);
  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_MARITIME), -1);
  SIMGetAPIVersion(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  UTIL_GetDLLVersion(nullptr, nullptr, nullptr);

  ASSERT_TRUE(simtest::StartTargets());
  EXPECT_FALSE(SIMGetAPIState(nullptr));
  EXPECT_FALSE(SIMGetRemoteStatus(nullptr));
  // The refused setters left no trace in the run: mask and overlay, metadata,
  // land sensitivity, auto border, stabilisation, dead pixels, DEM, MGRS.
  const Field kUntouched[] = {{33, 1, 0}, {34, 1, 0}, {43, 4, 0}, {47, 1, 0},
                              {49, 4, 0}, {82, 4, 0}, {86, 1, 0}, {95, 4, 5}};
  Snapshot().Expect(kUntouched);
}

// The border masks with sums that wrap in 32 bits must not pass for small ones.
TEST_F(SimSettings, RangedSettersAcceptTheirBoundsOnlyAndARefusalKeepsTheValue) {
  ASSERT_TRUE(simtest::StartTargets());
  const struct {
    bool (*set)(int);
    int low, high;
  } kRanges[] = {{&SIMSetMGRSPrecision, -5, 6},
                 {&SIMSetFpsCap, 10, 30},
                 {&SIMConfigureStabilizationTransform, 0, 20}};
  for (const auto& range : kRanges) {
    EXPECT_TRUE(range.set(range.low) && range.set(range.high)) << range.low;
    EXPECT_FALSE(range.set(range.low - 1) || range.set(INT_MIN) || range.set(range.high + 1));
  }
  EXPECT_FALSE(SIMSetFpsCap(0));  // which the worker would read as "keep the period"
  const struct {
    int left, bottom, width, height;
    bool accepted;
  } kMasks[] = {{0, 0, 639, 479, true},     {100, 100, -50, -50, true},
                {0, 0, 640, 480, false},    {0, 0, 640, 10, false},
                {0, 0, 10, 480, false},     {-1, 0, 10, 10, false},
                {0, -1, 10, 10, false},     {1, 0, INT_MAX, 10, false},
                {0, 1, 10, INT_MAX, false}, {INT_MAX, INT_MAX, 1, 1, false}};
  for (const auto& m : kMasks) {
    EXPECT_EQ(SIMSetBorderMask(m.left, m.bottom, m.width, m.height), m.accepted)
        << m.left << " " << m.bottom << " " << m.width << " " << m.height;
  }
  // The refusals kept the values accepted before them.
  Snapshot().Expect({{95, 4, 6}, {49, 4, 20}});
}

class SimSettingsPerType : public SimSettings, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SimSettingsPerType, AcceptanceFollowsTheInstanceType) {
  const uint32_t type = GetParam();
  const bool land = type == 0 || type == 8;
  const bool maritime = type == 1;
  ASSERT_TRUE(simtest::StartTargets(Type(type)));
  EXPECT_EQ(
      (std::vector<bool>{
          SIMSetAutoBorder(true), SIMSetParallaxFilter(true), SIMConfigureStabilizationTransform(7),
          SIMSetPredictiveIdAggressiveness(-3), SIMSetDesiredBreadcrumbTrailLength(2),
          SIMSetDesiredBreadcrumbLifeTime(44), SIMResetPersistenceData()}),
      std::vector<bool>(7, land));
  EXPECT_EQ((std::vector<bool>{SIMSetupHorizon(true, 11, 12, 13, 14),
                               SIMSetDeadPixelDetectionStrength(99)}),
            std::vector<bool>(2, maritime));
  unsigned char folder[] = "dem";
  EXPECT_TRUE(SIMSetDEM(folder, -4, static_cast<API_GeoLocMethodEnum>(77)) &&
              SIMSetSensitivity(API_TYPE_LAND, 6) && SIMSetSensitivity(API_TYPE_MARITIME, 9) &&
              SIMUpdateMetadata(3, folder));
  EXPECT_EQ(
      (std::vector<int>{SIMGetMaxSensitivity(API_TYPE_LAND),
                        SIMGetMaxSensitivity(API_TYPE_MARITIME), SIMGetMaxSensitivity(API_TYPE_SAR),
                        SIMGetMaxSensitivity(static_cast<API_TypeEnum>(3)),
                        SIMGetAvgConfidenceLevel(), SIMGetAPIStatus()}),
      (std::vector<int>{land ? 8 : -1, 15, 15, -1, 100, 0}));
  const int64_t onTargets = reinterpret_cast<intptr_t>(&simtest::OnTargets);
  const Field kFields[] = {
      {0, 4, type},       {13, 4, 1},        {17, 8, onTargets},     {25, 8, 0},
      {47, 1, land},      {48, 1, land},     {49, 4, 7 * land},      {53, 4, 2 * land},
      {57, 4, 44 * land}, {65, 1, maritime}, {66, 4, 11 * maritime}, {82, 4, 99 * maritime}};
  Snapshot().Expect(kFields);
  // No instance type has a remote status: refused, nothing written.
  API_RemoteStatus remote{1, 2, 3, 4};
  EXPECT_FALSE(SIMGetRemoteStatus(&remote));
  EXPECT_EQ((std::vector<unsigned int>{remote.value0, remote.value1, remote.value2, remote.value3}),
            (std::vector<unsigned int>{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(AcceptedTypes, SimSettingsPerType, ::testing::Values(0, 1, 2, 8, 9, 10));

TEST_F(SimSettings, TheSnapshotPlacesEveryFieldAtItsOffset) {
  ASSERT_TRUE(SIMStart(Type(1), 321, 123, 3, &simtest::NoPayload, nullptr, nullptr));
  unsigned char folder[] = "x";
  // Kinds the snapshot does not hold (SAR, 7) are accepted and overwrite nothing.
  ASSERT_TRUE(SIMSetDEM(folder, -1234, static_cast<API_GeoLocMethodEnum>(0x0A0B0C0D)) &&
              SIMSetSensitivity(API_TYPE_LAND, 0x11223344) &&
              SIMSetSensitivity(API_TYPE_MARITIME, -77) && SIMSetSensitivity(API_TYPE_SAR, 66) &&
              SIMSetSensitivity(static_cast<API_TypeEnum>(7), 55) && SIMSetMGRSPrecision(-5) &&
              SIMSetMetadata(nullptr) && SIMSetupHorizon(true, 0xA1, 0xA2, 0xA3, 0xA4) &&
              SIMSetDeadPixelDetectionStrength(0xDEADBEEF) && SIMSetBorderMask(1, 1, 5, 5));
  SIMSetTargetPositionPrediction(0x01020304);

  const StateBytes state = Snapshot();
  const int64_t onPayload = reinterpret_cast<intptr_t>(&simtest::NoPayload);
  // The last field is the guard byte past the record.
  const Field kFields[] = {
      {0, 4, 1},     {4, 1, 1},           {5, 4, 321},   {9, 4, 123},    {13, 4, 3},
      {17, 8, 0},    {25, 8, onPayload},  {33, 1, 1},    {34, 1, 1},     {43, 4, 0x11223344},
      {47, 1, 0},    {48, 1, 0},          {49, 4, 0},    {53, 4, 0},     {57, 4, 0},
      {61, 4, -77},  {65, 1, 1},          {66, 4, 0xA1}, {70, 4, 0xA2},  {74, 4, 0xA3},
      {78, 4, 0xA4}, {82, 4, 0xDEADBEEF}, {86, 1, 1},    {87, 4, -1234}, {91, 4, 0x0A0B0C0D},
      {95, 4, -5},   {99, 4, 0x01020304}, {103, 1, 0xCC}};
  state.Expect(kFields);
  SIMSetTargetPositionPrediction(0);
}

// The mask and overlay switches move as a pair; the mask switch and the
// prediction survive SIMStop, the other run settings do not.
TEST_F(SimSettings, StopResetsTheRunSettingsButKeepsTheMaskSwitchAndThePrediction) {
  EXPECT_FALSE(SIMSetTargetPositionPrediction(5));
  ASSERT_TRUE(simtest::StartTargets(API_INSTANCE_MARITIME, 64, 48));
  std::vector<unsigned char> overlay(64 * 48, 0);
  auto masked = [] { return Snapshot().bytes[33]; };
  ASSERT_TRUE(SIMSetBorderMask(1, 1, 10, 10) && SIMSetOverlay(nullptr));
  EXPECT_EQ(masked(), 1);  // the mask stays on
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  EXPECT_EQ(masked(), 0);
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  EXPECT_EQ(masked(), 1);
  ASSERT_TRUE(SIMSetOverlay(nullptr));
  EXPECT_EQ(masked(), 0);
  unsigned char folder[] = "dem";
  ASSERT_TRUE(SIMSetDEM(folder, 3, API_GEOLOC_METHOD_NONE) && SIMSetMGRSPrecision(2) &&
              SIMSetupHorizon(true, 1, 2, 3, 4) && SIMSetDeadPixelDetectionStrength(9) &&
              SIMUpdateMetadata(0, nullptr) && SIMSetBorderMask(1, 1, 10, 10));
  Snapshot().Expect({{99, 4, 5}});
  EXPECT_TRUE(SIMSetTargetPositionPrediction(6));
  SIMStop();
  EXPECT_TRUE(SIMClearBorderMaskAndOverlay());  // without a run: changes nothing
  ASSERT_TRUE(simtest::StartTargets(API_INSTANCE_MARITIME, 64, 48));
  const Field kReset[] = {{33, 1, 1}, {34, 1, 0}, {65, 1, 0}, {66, 4, 0}, {82, 4, 0},
                          {86, 1, 0}, {87, 4, 0}, {91, 4, 1}, {95, 4, 5}, {99, 4, 6}};
  Snapshot().Expect(kReset);
  SIMSetTargetPositionPrediction(0);
  // The DEM keeps only whether a folder was given.
  ASSERT_TRUE(SIMSetDEM(nullptr, 2, API_GEOLOC_METHOD_DEFAULT));
  Snapshot().Expect({{86, 1, 0}, {87, 4, 2}});
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
}

// Both version queries answer the header's version, 4.1.6, with or without
// a run, through each pointer given; a null pointer in any position is skipped.
TEST_F(SimSettings, VersionQueriesAnswerAtAllTimesAndSkipNullPointers) {
  constexpr unsigned int kUnset = 0xFFFFFFFF;
  // Constant expressions, as a host may use them at compile time.
  constexpr std::uint32_t kMajor = KVO_TOLVENIXAPI_VERSION_MAJOR;
  constexpr std::uint32_t kMinor = KVO_TOLVENIXAPI_VERSION_MINOR;
  constexpr std::uint32_t kSub = KVO_TOLVENIXAPI_VERSION_SUB;
  const std::vector<unsigned int> kHeader{kMajor, kMinor, kSub};
  const std::vector<unsigned int> kApi{kMajor, kMinor, kSub, kMajor, kMinor, kSub};
  // Written out too, so that a wrong project version is caught.
  ASSERT_EQ(kHeader, (std::vector<unsigned int>{4, 1, 6}));
  for (bool running : {false, true}) {
    if (running) {
      ASSERT_TRUE(simtest::StartTargets());
    }
    std::vector<unsigned int> api(6, kUnset);
    SIMGetAPIVersion(&api[0], &api[1], &api[2], &api[3], &api[4], &api[5]);
    EXPECT_EQ(api, kApi) << running;
    std::vector<unsigned int> library(3, kUnset);
    UTIL_GetDLLVersion(&library[0], &library[1], &library[2]);
    EXPECT_EQ(library, kHeader) << running;
    for (size_t given = 0; given < 6; ++given) {
      std::vector<unsigned int> out(6, kUnset), expected(6, kUnset);
      unsigned int* p[6] = {};
      p[given] = &out[given];
      SIMGetAPIVersion(p[0], p[1], p[2], p[3], p[4], p[5]);
      expected[given] = kApi[given];
      EXPECT_EQ(out, expected) << given;
      if (given >= 3) continue;
      out.assign(6, kUnset);
      UTIL_GetDLLVersion(p[0], p[1], p[2]);
      EXPECT_EQ(out, expected) << given;
    }
  }
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file is written whatever the run state; the answer tells the state.
TEST_F(SimSettings, MetadataLoggingWritesThirtyOneBytesAndNothingForABadPath) {
  char pattern[] = "/tmp/simMetadataXXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string path = pattern;
  std::string missing = path + "-no-such-dir/file";
  std::ofstream(path) << "an older and much longer content than the new one";
  EXPECT_FALSE(SIMSetMetadataLogging(true, &path[0], false));
  EXPECT_EQ(Contents(path), std::string("Set Active: 1\nLog Timestamps: 0"));
  EXPECT_FALSE(SIMSetMetadataLogging(true, nullptr, true));
  EXPECT_FALSE(SIMSetMetadataLogging(true, &missing[0], true));
  ASSERT_TRUE(simtest::StartTargets(API_INSTANCE_SAR));
  EXPECT_TRUE(SIMSetMetadataLogging(false, &path[0], true));
  EXPECT_EQ(Contents(path), std::string("Set Active: 0\nLog Timestamps: 1"));
  EXPECT_TRUE(SIMSetMetadataLogging(true, nullptr, true));
  EXPECT_TRUE(SIMSetMetadataLogging(true, &missing[0], true));
  EXPECT_FALSE(std::ifstream(missing).good());
  // A write that fails (a full device) is silent too.
  char full[] = "/dev/full";
  EXPECT_TRUE(SIMSetMetadataLogging(true, full, true));
  std::remove(path.c_str());

  // A FIFO without a reader is refused at once while queries answer. A call
  // that waits for a reader gets one after a generous minute, and fails.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  auto call = std::async(std::launch::async, [&] { return SIMSetMetadataLogging(1, &path[0], 1); });
  auto query = std::async(std::launch::async, [] { return SIMGetAPIStatus(); });
  const bool prompt = call.wait_for(std::chrono::minutes(1)) == std::future_status::ready &&
                      query.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
  const int reader = prompt ? -1 : open(path.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_TRUE(call.get());
  EXPECT_EQ(query.get(), 0);
  EXPECT_TRUE(prompt) << "the call waited for a reader";
  if (reader >= 0) close(reader);
  std::remove(path.c_str());
}

}  // namespace
