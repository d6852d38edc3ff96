// The SIM setters and queries, the state snapshot, the metadata-logging file
// and the version queries.
//
// Each setter takes simMutex for its whole run, tests the run state (or the
// instance type) first and the range second, and changes nothing when it
// refuses.

#include <cstdint>
#include <fstream>
#include <mutex>
#include <new>

#include "TolvenixUtilities.h"
#include "api/SimOverlay.h"
#include "api/SimState.h"
#include "api/TolvenixAPI_version.h"
#include "api/TolvenixUtilities_version.h"

KVO::UserDataGenericBuffer<unsigned char> simOverlay(0, 0, 0, false);

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr int kMinMgrsPrecision = -5;
constexpr int kMaxMgrsPrecision = 6;
constexpr int kMinFpsCap = 10;
constexpr int kMaxFpsCap = 30;
constexpr int kMinStabilizationFactor = 0;
constexpr int kMaxStabilizationFactor = 20;
constexpr int kMaxLandSensitivity = 8;
constexpr int kMaxOtherSensitivity = 15;
constexpr std::int32_t kStatusRunning = 0;
constexpr std::int32_t kStatusNotStarted = 9;
constexpr int kAvgConfidenceLevel = 100;

// Every predicate below expects simMutex held.
bool IsRunning() { return SimRunIsActive(); }

bool IsInstanceType1() { return static_cast<std::uint32_t>(simAnalyticInstanceType) == 1; }

bool InRange(int value, int low, int high) { return low <= value && value <= high; }

template <typename T>
void WriteIfGiven(T* destination, T value) {
  if (destination != nullptr) *destination = value;
}

}  // namespace

bool SIMSetDEM(unsigned char* baseFolder, int level, API_GeoLocMethodEnum method) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  simDEM_GeoLocMethod = method;
  simDEM_BaseFolderHasBeenSet = baseFolder != nullptr;
  simDEM_Level = level;
  return true;
}

bool SIMSetSensitivity(API_TypeEnum kind, int value) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  switch (static_cast<std::int32_t>(kind)) {
    case 0:
      simLandSensitivity = value;
      break;
    case 1:
      simMaritimeSensitivity = value;
      break;
    case 2:
      simSARSensitivity = value;
      break;
    default:
      break;
  }
  return true;
}

bool SIMSetOverlay(unsigned char* overlay) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  if (overlay == nullptr) {
    overlayInUse = false;
    return true;
  }
  // The copy re-dimensions the overlay only when the geometry changed. If
  // that allocation fails the old pixels are already gone, so the switch is
  // turned off before the exception leaves: frames then use the border mask.
  const KVO::UserDataGenericBuffer<unsigned char> source(imWidth, imHeight, 1, overlay);
  try {
    simOverlay.MemcpyFrom(source);
  } catch (...) {
    overlayInUse = false;
    throw;
  }
  overlayInUse = true;
  borderMaskInUse = false;
  return true;
}

bool SIMSetTargetPositionPrediction(unsigned int frames) {
  Lock lock(simMutex);
  simPredictionFrames = frames;
  return IsRunning();
}

bool SIMSetMGRSPrecision(int precision) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  if (!InRange(precision, kMinMgrsPrecision, kMaxMgrsPrecision)) return false;
  simMGRS_Precision = precision;
  return true;
}

bool SIMSetFpsCap(int framesPerSecond) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  if (!InRange(framesPerSecond, kMinFpsCap, kMaxFpsCap)) return false;
  simFPSCap.store(framesPerSecond, std::memory_order_seq_cst);
  return true;
}

bool SIMSetAutoBorder(bool active) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  simAutoBorderActive = active;
  return true;
}

bool SIMSetParallaxFilter(bool active) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  simParallaxFilterActive = active;
  return true;
}

bool SIMConfigureStabilizationTransform(int factor) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  if (!InRange(factor, kMinStabilizationFactor, kMaxStabilizationFactor)) {
    return false;
  }
  simAutoStabilizationFactor = factor;
  return true;
}

bool SIMSetMetadataLogging(bool active, char* path, bool logTimestamps) {
  Lock lock(simMutex);
  if (path != nullptr) {
    // Binary mode: the file is exactly these 31 bytes on every platform.
    std::ofstream file(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (file) {
      file << "Set Active: " << (active ? '1' : '0') << '\n' << std::flush;
      file << "Log Timestamps: " << (logTimestamps ? '1' : '0');
    }
  }
  return IsRunning();
}

bool SIMUpdateMetadata(unsigned int /*length*/, unsigned char* /*packet*/) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  metadataIsActive = true;
  return true;
}

bool SIMSetMetadata(API_BasicMetadata* /*metadata*/) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  metadataIsActive = true;
  return true;
}

bool SIMSetPredictiveIdAggressiveness(int value) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  simPredictiveIdAggressiveness = value;
  return true;
}

bool SIMSetDesiredBreadcrumbTrailLength(int selector) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  simDesiredBreadcrumbTrailLength = selector;
  return true;
}

bool SIMSetDesiredBreadcrumbLifeTime(int value) {
  Lock lock(simMutex);
  if (!SimRunIsLandFamily()) return false;
  simDesiredBreadcrumbLifeTime = value;
  return true;
}

bool SIMResetPersistenceData() {
  Lock lock(simMutex);
  return SimRunIsLandFamily();
}

bool SIMSetupHorizon(bool autoHorizon, unsigned int hintX, unsigned int hintY,
                     unsigned int topCutOffLine, unsigned int bottomCutOffLine) {
  Lock lock(simMutex);
  if (!IsInstanceType1()) return false;
  simActivateAutoHorizon = autoHorizon;
  simHorizonHintX = hintX;
  simHorizonHintY = hintY;
  simTopCutOffLine = topCutOffLine;
  simBottomCutOffLine = bottomCutOffLine;
  return true;
}

bool SIMSetDeadPixelDetectionStrength(unsigned int strength) {
  Lock lock(simMutex);
  if (!IsInstanceType1()) return false;
  simStrength = strength;
  return true;
}

bool SIMClearBorderMaskAndOverlay() {
  Lock lock(simMutex);
  if (!IsRunning()) return true;
  overlayInUse = false;
  borderMaskInUse = false;
  simBorderMaskLeft = 0;
  simBorderMaskBottom = 0;
  simBorderMaskWidth = imWidth;
  simBorderMaskHeight = imHeight;
  return true;
}

bool SIMSetBorderMask(int left, int bottom, int width, int height) {
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  if (left < 0 || bottom < 0) return false;
  // In 64 bits: a huge width or height must not wrap into an accepted sum.
  if (static_cast<std::int64_t>(left) + width >= imWidth) return false;
  if (static_cast<std::int64_t>(bottom) + height >= imHeight) return false;
  simBorderMaskLeft = left;
  simBorderMaskBottom = bottom;
  simBorderMaskWidth = width;
  simBorderMaskHeight = height;
  borderMaskInUse = true;
  overlayInUse = false;
  return true;
}

void UTIL_GetDLLVersion(unsigned int* major, unsigned int* minor, unsigned int* sub) {
  WriteIfGiven(major, KVO_TOLVENIXUTILITIES_VERSION_MAJOR);
  WriteIfGiven(minor, KVO_TOLVENIXUTILITIES_VERSION_MINOR);
  WriteIfGiven(sub, KVO_TOLVENIXUTILITIES_VERSION_SUB);
}

void SIMGetAPIVersion(unsigned int* major, unsigned int* minor, unsigned int* sub,
                      unsigned int* majorAgain, unsigned int* minorAgain, unsigned int* subAgain) {
  WriteIfGiven(major, KVO_TOLVENIXAPI_VERSION_MAJOR);
  WriteIfGiven(minor, KVO_TOLVENIXAPI_VERSION_MINOR);
  WriteIfGiven(sub, KVO_TOLVENIXAPI_VERSION_SUB);
  WriteIfGiven(majorAgain, KVO_TOLVENIXAPI_VERSION_MAJOR);
  WriteIfGiven(minorAgain, KVO_TOLVENIXAPI_VERSION_MINOR);
  WriteIfGiven(subAgain, KVO_TOLVENIXAPI_VERSION_SUB);
}

std::int32_t SIMGetAPIStatus() {
  Lock lock(simMutex);
  return IsRunning() ? kStatusRunning : kStatusNotStarted;
}

bool SIMGetAPIState(API_State* state) {
  if (state == nullptr) return false;
  Lock lock(simMutex);
  if (!IsRunning()) return false;
  // One critical section, so the snapshot agrees with itself.
  API_State snapshot{};
  snapshot.instanceType = simAnalyticInstanceType;
  snapshot.isRunning = true;
  snapshot.width = imWidth;
  snapshot.height = imHeight;
  snapshot.depth = imDepth;
  snapshot.targetCallback = targetCallback;
  snapshot.payloadCallback = targetBaseCallback;
  snapshot.overlayOrBorderMaskInUse = overlayInUse || borderMaskInUse;
  snapshot.metadataIsActive = metadataIsActive;
  snapshot.fps = simFPSCount;
  snapshot.latency_mS = simLatencyCount;
  snapshot.landSensitivity = simLandSensitivity;
  snapshot.autoBorderActive = simAutoBorderActive;
  snapshot.parallaxFilterActive = simParallaxFilterActive;
  snapshot.autoStabilizationFactor = simAutoStabilizationFactor;
  snapshot.breadcrumbTrailLength = simDesiredBreadcrumbTrailLength;
  snapshot.breadcrumbLifeTime = simDesiredBreadcrumbLifeTime;
  snapshot.maritimeSensitivity = simMaritimeSensitivity;
  snapshot.autoHorizonActive = simActivateAutoHorizon;
  snapshot.horizonHintX = simHorizonHintX;
  snapshot.horizonHintY = simHorizonHintY;
  snapshot.topCutOffLine = simTopCutOffLine;
  snapshot.bottomCutOffLine = simBottomCutOffLine;
  snapshot.deadPixelDetectionStrength = simStrength;
  snapshot.demBaseFolderHasBeenSet = simDEM_BaseFolderHasBeenSet;
  snapshot.demLevel = simDEM_Level;
  snapshot.demGeoLocMethod = simDEM_GeoLocMethod;
  snapshot.mgrsPrecision = simMGRS_Precision;
  snapshot.predictionFrames = simPredictionFrames;
  *state = snapshot;
  return true;
}

std::int32_t SIMGetMaxSensitivity(API_TypeEnum kind) {
  Lock lock(simMutex);
  if (!IsRunning()) return -1;
  switch (static_cast<std::int32_t>(kind)) {
    case 0:
      return SimRunIsLandFamily() ? kMaxLandSensitivity : -1;
    case 1:
    case 2:
      return kMaxOtherSensitivity;
    default:
      return -1;
  }
}

std::int32_t SIMGetAvgConfidenceLevel() {
  Lock lock(simMutex);
  return IsRunning() ? kAvgConfidenceLevel : -1;
}

bool SIMGetRemoteStatus(API_RemoteStatus* /*status*/) {
  // No instance type that SIMStart accepts has a remote status; the lock is
  // still taken so the call orders like every other SIM function.
  Lock lock(simMutex);
  return false;
}
