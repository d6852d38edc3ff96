// SIMGetAPIState: the state snapshot of the active run.
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

bool SIMGetAPIState(API_State* state) {
  if (state == nullptr) return false;
  std::lock_guard<std::mutex> lock(simMutex);
  if (!SimRunIsActive()) return false;
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
