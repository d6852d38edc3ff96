// Settings, queries and the state snapshot, through the shared library only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::Type;

// The snapshot as raw bytes, read at the documented offsets without the
// record's field names. One guard byte past the record shows an overrun.
class StateBytes {
 public:
  StateBytes() { std::memset(bytes_, 0xCC, sizeof bytes_); }
  bool Fill() { return SIMGetAPIState(reinterpret_cast<API_State*>(bytes_)); }
  template <typename T>
  T At(size_t offset) const {
    T value;
    std::memcpy(&value, bytes_ + offset, sizeof value);
    return value;
  }
  uint8_t Byte(size_t offset) const { return bytes_[offset]; }

 private:
  uint8_t bytes_[sizeof(API_State) + 1];
};

class SimSettings : public simtest::SimTest {
 protected:
  static void Start(uint32_t type, int width = 640, int height = 480) {
    ASSERT_TRUE(SIMStart(Type(type), width, height, 1, &simtest::OnTargets));
  }
  static StateBytes Snapshot() {
    StateBytes state;
    EXPECT_TRUE(state.Fill());
    return state;
  }
};

TEST_F(SimSettings, EveryRunDependentSetterIsRefusedWithoutARun) {
  unsigned char overlay[4] = {};
  API_BasicMetadata metadata{};
  EXPECT_FALSE(SIMSetDEM(overlay, 1, API_GEOLOC_METHOD_DEFAULT));
  EXPECT_FALSE(SIMSetSensitivity(API_TYPE_LAND, 1));
  EXPECT_FALSE(SIMSetSensitivity(static_cast<API_TypeEnum>(7), 1));
  EXPECT_FALSE(SIMSetOverlay(overlay));
  EXPECT_FALSE(SIMSetOverlay(nullptr));
  EXPECT_FALSE(SIMSetMGRSPrecision(0));
  EXPECT_FALSE(SIMSetFpsCap(20));
  EXPECT_FALSE(SIMSetAutoBorder(true));
  EXPECT_FALSE(SIMSetParallaxFilter(true));
  EXPECT_FALSE(SIMConfigureStabilizationTransform(5));
  EXPECT_FALSE(SIMUpdateMetadata(0, nullptr));
  EXPECT_FALSE(SIMSetMetadata(&metadata));
  EXPECT_FALSE(SIMSetPredictiveIdAggressiveness(1));
  EXPECT_FALSE(SIMSetDesiredBreadcrumbTrailLength(1));
  EXPECT_FALSE(SIMSetDesiredBreadcrumbLifeTime(1));
  EXPECT_FALSE(SIMResetPersistenceData());
  EXPECT_FALSE(SIMSetupHorizon(true, 1, 2, 3, 4));
  EXPECT_FALSE(SIMSetDeadPixelDetectionStrength(3));
  EXPECT_FALSE(SIMSetBorderMask(0, 0, 10, 10));
  EXPECT_TRUE(SIMClearBorderMaskAndOverlay());

  // None of them left a trace in the next run's snapshot.
  Start(0);
  const StateBytes state = Snapshot();
  EXPECT_EQ(state.Byte(33), 0);           // no mask, no overlay
  EXPECT_EQ(state.Byte(34), 0);           // metadata
  EXPECT_EQ(state.At<int32_t>(43), 0);    // land sensitivity
  EXPECT_EQ(state.Byte(47), 0);           // auto border
  EXPECT_EQ(state.At<int32_t>(49), 0);    // stabilisation
  EXPECT_EQ(state.At<uint32_t>(82), 0u);  // dead-pixel strength
  EXPECT_EQ(state.Byte(86), 0);           // DEM folder
  EXPECT_EQ(state.At<int32_t>(95), 5);    // MGRS precision
}

TEST_F(SimSettings, RangedSettersAcceptTheirBoundsOnlyAndARefusalKeepsTheValue) {
  Start(0);
  const struct {
    bool (*set)(int);
    int low, high;
  } kRanges[] = {{&SIMSetMGRSPrecision, -5, 6},
                 {&SIMSetFpsCap, 10, 30},
                 {&SIMConfigureStabilizationTransform, 0, 20}};
  for (const auto& range : kRanges) {
    EXPECT_TRUE(range.set(range.low)) << range.low;
    EXPECT_FALSE(range.set(range.low - 1)) << range.low;
    EXPECT_FALSE(range.set(INT_MIN)) << range.low;
    EXPECT_FALSE(range.set(range.high + 1)) << range.high;
    EXPECT_TRUE(range.set(range.high)) << range.high;
  }
  EXPECT_FALSE(SIMSetMGRSPrecision(7));
  const StateBytes state = Snapshot();
  EXPECT_EQ(state.At<int32_t>(95), 6);
  EXPECT_EQ(state.At<int32_t>(49), 20);
}

class SimSettingsPerType : public SimSettings, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SimSettingsPerType, AcceptanceFollowsTheInstanceType) {
  const uint32_t type = GetParam();
  const bool land = type == 0 || type == 8;
  Start(type);
  EXPECT_EQ(SIMSetAutoBorder(true), land);
  EXPECT_EQ(SIMSetParallaxFilter(true), land);
  EXPECT_EQ(SIMConfigureStabilizationTransform(7), land);
  EXPECT_EQ(SIMSetPredictiveIdAggressiveness(-3), land);
  EXPECT_EQ(SIMSetDesiredBreadcrumbTrailLength(2), land);
  EXPECT_EQ(SIMSetDesiredBreadcrumbLifeTime(44), land);
  EXPECT_EQ(SIMResetPersistenceData(), land);
  EXPECT_EQ(SIMSetupHorizon(true, 11, 12, 13, 14), type == 1);
  EXPECT_EQ(SIMSetDeadPixelDetectionStrength(99), type == 1);
  // Run-wide setters accept every type.
  unsigned char folder[] = "dem";
  EXPECT_TRUE(SIMSetDEM(folder, -4, static_cast<API_GeoLocMethodEnum>(77)));
  EXPECT_TRUE(SIMSetSensitivity(API_TYPE_LAND, 6));
  EXPECT_TRUE(SIMSetSensitivity(API_TYPE_MARITIME, 9));
  EXPECT_TRUE(SIMUpdateMetadata(3, folder));

  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_LAND), land ? 8 : -1);
  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_MARITIME), 15);
  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_SAR), 15);
  EXPECT_EQ(SIMGetMaxSensitivity(static_cast<API_TypeEnum>(3)), -1);
  EXPECT_EQ(SIMGetAvgConfidenceLevel(), 100);
  EXPECT_EQ(SIMGetAPIStatus(), 0);

  const StateBytes state = Snapshot();
  EXPECT_EQ(state.At<uint32_t>(0), type);
  EXPECT_EQ(state.At<int32_t>(13), 1);
  EXPECT_EQ(state.At<TargetCallback>(17), &simtest::OnTargets);
  EXPECT_EQ(state.At<void*>(25), nullptr);
  EXPECT_EQ(state.Byte(47), land ? 1 : 0);
  EXPECT_EQ(state.Byte(48), land ? 1 : 0);
  EXPECT_EQ(state.At<int32_t>(49), land ? 7 : 0);
  EXPECT_EQ(state.At<int32_t>(53), land ? 2 : 0);
  EXPECT_EQ(state.At<int32_t>(57), land ? 44 : 0);
  EXPECT_EQ(state.Byte(65), type == 1 ? 1 : 0);
  EXPECT_EQ(state.At<uint32_t>(66), type == 1 ? 11u : 0u);
  EXPECT_EQ(state.At<uint32_t>(82), type == 1 ? 99u : 0u);

  // No instance type has a remote status: refused, nothing written.
  API_RemoteStatus remote{1, 2, 3, 4};
  EXPECT_FALSE(SIMGetRemoteStatus(&remote));
  EXPECT_EQ(remote.value0, 1u);
  EXPECT_EQ(remote.value3, 4u);
  EXPECT_FALSE(SIMGetRemoteStatus(nullptr));
}

INSTANTIATE_TEST_SUITE_P(AcceptedTypes, SimSettingsPerType, ::testing::Values(0, 1, 2, 8, 9, 10));

void OnPayloadNothing(TargetPayloadBase*) {}

TEST_F(SimSettings, TheSnapshotPlacesEveryFieldAtItsOffset) {
  ASSERT_TRUE(SIMStart(Type(1), 321, 123, 3, &OnPayloadNothing, nullptr, nullptr));
  unsigned char folder[] = "x";
  ASSERT_TRUE(SIMSetDEM(folder, -1234, static_cast<API_GeoLocMethodEnum>(0x0A0B0C0D)));
  ASSERT_TRUE(SIMSetSensitivity(API_TYPE_LAND, 0x11223344));
  ASSERT_TRUE(SIMSetSensitivity(API_TYPE_MARITIME, -77));
  // Kinds the snapshot does not hold are accepted and overwrite nothing.
  ASSERT_TRUE(SIMSetSensitivity(API_TYPE_SAR, 66));
  ASSERT_TRUE(SIMSetSensitivity(static_cast<API_TypeEnum>(7), 55));
  ASSERT_TRUE(SIMSetMGRSPrecision(-5));
  ASSERT_TRUE(SIMSetMetadata(nullptr));
  ASSERT_TRUE(SIMSetupHorizon(true, 0xA1, 0xA2, 0xA3, 0xA4));
  ASSERT_TRUE(SIMSetDeadPixelDetectionStrength(0xDEADBEEF));
  ASSERT_TRUE(SIMSetBorderMask(1, 1, 5, 5));
  SIMSetTargetPositionPrediction(0x01020304);

  const StateBytes state = Snapshot();
  EXPECT_EQ(state.At<uint32_t>(0), 1u);
  EXPECT_EQ(state.Byte(4), 1);
  EXPECT_EQ(state.At<int32_t>(5), 321);
  EXPECT_EQ(state.At<int32_t>(9), 123);
  EXPECT_EQ(state.At<int32_t>(13), 3);
  EXPECT_EQ(state.At<void*>(17), nullptr);
  EXPECT_EQ(state.At<TargetPayloadCallback>(25), &OnPayloadNothing);
  EXPECT_EQ(state.Byte(33), 1);
  EXPECT_EQ(state.Byte(34), 1);
  EXPECT_GE(state.At<int32_t>(35), 0);
  EXPECT_GE(state.At<int32_t>(39), 0);
  EXPECT_EQ(state.At<int32_t>(43), 0x11223344);
  EXPECT_EQ(state.Byte(47), 0);
  EXPECT_EQ(state.Byte(48), 0);
  EXPECT_EQ(state.At<int32_t>(49), 0);
  EXPECT_EQ(state.At<int32_t>(53), 0);
  EXPECT_EQ(state.At<int32_t>(57), 0);
  EXPECT_EQ(state.At<int32_t>(61), -77);
  EXPECT_EQ(state.Byte(65), 1);
  EXPECT_EQ(state.At<uint32_t>(66), 0xA1u);
  EXPECT_EQ(state.At<uint32_t>(70), 0xA2u);
  EXPECT_EQ(state.At<uint32_t>(74), 0xA3u);
  EXPECT_EQ(state.At<uint32_t>(78), 0xA4u);
  EXPECT_EQ(state.At<uint32_t>(82), 0xDEADBEEFu);
  EXPECT_EQ(state.Byte(86), 1);
  EXPECT_EQ(state.At<int32_t>(87), -1234);
  EXPECT_EQ(state.At<uint32_t>(91), 0x0A0B0C0Du);
  EXPECT_EQ(state.At<int32_t>(95), -5);
  EXPECT_EQ(state.At<uint32_t>(99), 0x01020304u);
  EXPECT_EQ(state.Byte(sizeof(API_State)), 0xCC) << "wrote past the record";
  SIMSetTargetPositionPrediction(0);
}

TEST_F(SimSettings, QueriesWithoutARunAnswerTheirRefusalAndWriteNothing) {
  StateBytes state;
  EXPECT_FALSE(state.Fill());
  for (size_t i = 0; i <= sizeof(API_State); ++i) EXPECT_EQ(state.Byte(i), 0xCC) << i;
  EXPECT_FALSE(SIMGetAPIState(nullptr));
  API_RemoteStatus remote{5, 6, 7, 8};
  EXPECT_FALSE(SIMGetRemoteStatus(&remote));
  EXPECT_EQ(remote.value1, 6u);
  EXPECT_EQ(SIMGetAPIStatus(), 9);
  EXPECT_EQ(SIMGetAvgConfidenceLevel(), -1);
  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_MARITIME), -1);
  Start(2);
  EXPECT_FALSE(SIMGetAPIState(nullptr));
  EXPECT_EQ(SIMGetAPIStatus(), 0);
  SIMStop();
  EXPECT_EQ(SIMGetAPIStatus(), 9);
  EXPECT_EQ(SIMGetMaxSensitivity(API_TYPE_SAR), -1);
}

TEST_F(SimSettings, TheBorderMaskMustEndInsideTheFrame) {
  Start(1, 640, 480);
  const struct {
    int left, bottom, width, height;
    bool accepted;
  } kMasks[] = {
      {0, 0, 639, 479, true},
      {100, 100, -50, -50, true},
      {0, 0, 640, 480, false},
      {0, 0, 640, 10, false},
      {0, 0, 10, 480, false},
      {-1, 0, 10, 10, false},
      {0, -1, 10, 10, false},
      // Sums that wrap in 32 bits must not pass for small ones.
      {1, 0, INT_MAX, 10, false},
      {0, 1, 10, INT_MAX, false},
      {INT_MAX, INT_MAX, 1, 1, false},
  };
  for (const auto& m : kMasks) {
    EXPECT_EQ(SIMSetBorderMask(m.left, m.bottom, m.width, m.height), m.accepted)
        << m.left << " " << m.bottom << " " << m.width << " " << m.height;
  }
}

TEST_F(SimSettings, TheMaskAndOverlaySwitchesMoveAsAPair) {
  Start(0, 64, 48);
  std::vector<unsigned char> overlay(64 * 48, 0);
  ASSERT_TRUE(SIMSetBorderMask(1, 1, 10, 10));
  ASSERT_TRUE(SIMSetOverlay(nullptr));
  EXPECT_EQ(Snapshot().Byte(33), 1) << "the mask stays on";
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
  EXPECT_EQ(Snapshot().Byte(33), 0);
  ASSERT_TRUE(SIMSetOverlay(overlay.data()));
  EXPECT_EQ(Snapshot().Byte(33), 1);
  ASSERT_TRUE(SIMSetOverlay(nullptr));
  EXPECT_EQ(Snapshot().Byte(33), 0);

  // The mask switch survives SIMStop; clearing without a run changes nothing.
  ASSERT_TRUE(SIMSetBorderMask(1, 1, 10, 10));
  SIMStop();
  EXPECT_TRUE(SIMClearBorderMaskAndOverlay());
  Start(0, 64, 48);
  EXPECT_EQ(Snapshot().Byte(33), 1);
  ASSERT_TRUE(SIMClearBorderMaskAndOverlay());
}

TEST_F(SimSettings, StopResetsTheRunSettingsAndKeepsThePrediction) {
  EXPECT_FALSE(SIMSetTargetPositionPrediction(5));
  Start(1);
  unsigned char folder[] = "dem";
  ASSERT_TRUE(SIMSetDEM(folder, 3, API_GEOLOC_METHOD_NONE));
  ASSERT_TRUE(SIMSetMGRSPrecision(2));
  ASSERT_TRUE(SIMSetupHorizon(true, 1, 2, 3, 4));
  ASSERT_TRUE(SIMSetDeadPixelDetectionStrength(9));
  ASSERT_TRUE(SIMUpdateMetadata(0, nullptr));
  EXPECT_EQ(Snapshot().At<uint32_t>(99), 5u);
  EXPECT_TRUE(SIMSetTargetPositionPrediction(6));
  SIMStop();

  Start(1);
  StateBytes fresh = Snapshot();
  EXPECT_EQ(fresh.Byte(34), 0);
  EXPECT_EQ(fresh.Byte(65), 0);
  EXPECT_EQ(fresh.At<uint32_t>(66), 0u);
  EXPECT_EQ(fresh.At<uint32_t>(82), 0u);
  EXPECT_EQ(fresh.Byte(86), 0);
  EXPECT_EQ(fresh.At<int32_t>(87), 0);
  EXPECT_EQ(fresh.At<uint32_t>(91), 1u);
  EXPECT_EQ(fresh.At<int32_t>(95), 5);
  EXPECT_EQ(fresh.At<uint32_t>(99), 6u);
  SIMSetTargetPositionPrediction(0);

  // The DEM keeps only whether a folder was given.
  ASSERT_TRUE(SIMSetDEM(nullptr, 2, API_GEOLOC_METHOD_DEFAULT));
  fresh = Snapshot();
  EXPECT_EQ(fresh.Byte(86), 0);
  EXPECT_EQ(fresh.At<int32_t>(87), 2);
}

TEST_F(SimSettings, VersionQueriesAnswerAtAllTimesAndSkipNullPointers) {
  unsigned int v[6] = {};
  SIMGetAPIVersion(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  EXPECT_EQ(std::vector<unsigned int>(v, v + 6), (std::vector<unsigned int>{4, 1, 6, 4, 1, 6}));
  UTIL_GetDLLVersion(&v[0], &v[1], &v[2]);
  EXPECT_EQ(std::vector<unsigned int>(v, v + 3), (std::vector<unsigned int>{4, 1, 6}));
  unsigned int only = 0;
  SIMGetAPIVersion(nullptr, nullptr, &only, nullptr, nullptr, nullptr);
  EXPECT_EQ(only, 6u);
  UTIL_GetDLLVersion(nullptr, &only, nullptr);
  EXPECT_EQ(only, 1u);
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
  std::ofstream(path) << "an older and much longer content than the new one";
  EXPECT_FALSE(SIMSetMetadataLogging(true, &path[0], false));
  EXPECT_EQ(Contents(path), std::string("Set Active: 1\nLog Timestamps: 0"));
  EXPECT_FALSE(SIMSetMetadataLogging(true, nullptr, true));
  std::string missing = path + "-no-such-dir/file";
  EXPECT_FALSE(SIMSetMetadataLogging(true, &missing[0], true));

  Start(2);
  EXPECT_TRUE(SIMSetMetadataLogging(false, &path[0], true));
  EXPECT_EQ(Contents(path), std::string("Set Active: 0\nLog Timestamps: 1"));
  std::remove(path.c_str());
  EXPECT_TRUE(SIMSetMetadataLogging(true, nullptr, true));
  EXPECT_TRUE(SIMSetMetadataLogging(true, &missing[0], true));
  EXPECT_FALSE(std::ifstream(missing).good());
}

}  // namespace
