// The SIM setters other than the metadata-logging file.
//
// Each setter takes simMutex for its whole run, tests the run state (or the
// instance type) first and the range second, and changes nothing when it
// refuses.
#include <cstdint>
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr int kMinMgrsPrecision = -5;
constexpr int kMaxMgrsPrecision = 6;
constexpr int kMinFpsCap = 10;
constexpr int kMaxFpsCap = 30;
constexpr int kMinStabilizationFactor = 0;
constexpr int kMaxStabilizationFactor = 20;

// simMutex held.
bool IsInstanceType1() { return static_cast<std::uint32_t>(simAnalyticInstanceType) == 1; }

bool InRange(int value, int low, int high) { return low <= value && value <= high; }

}  // namespace

bool SIMSetDEM(unsigned char* baseFolder, int level, API_GeoLocMethodEnum method) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
  simDEM_GeoLocMethod = method;
  simDEM_BaseFolderHasBeenSet = baseFolder != nullptr;
  simDEM_Level = level;
  return true;
}

bool SIMSetSensitivity(API_TypeEnum kind, int value) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
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
  if (!SimRunIsActive()) return false;
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
  return SimRunIsActive();
}

bool SIMSetMGRSPrecision(int precision) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
  if (!InRange(precision, kMinMgrsPrecision, kMaxMgrsPrecision)) return false;
  simMGRS_Precision = precision;
  return true;
}

bool SIMSetFpsCap(int framesPerSecond) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
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

bool SIMUpdateMetadata(unsigned int /*length*/, unsigned char* /*packet*/) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
  metadataIsActive = true;
  return true;
}

bool SIMSetMetadata(API_BasicMetadata* /*metadata*/) {
  Lock lock(simMutex);
  if (!SimRunIsActive()) return false;
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
  if (!SimRunIsActive()) return true;
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
  if (!SimRunIsActive()) return false;
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
