// The simulator's process-wide state, defined in SimState.cpp and shared by
// the source files of the SIM exports and by nothing else. Every variable is
// read and written with simMutex held, except where its comment says
// otherwise.
#ifndef API_SIMSTATE_H_
#define API_SIMSTATE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "TolvenixUtilities.h"
#include "imaging/UserDataImageBuffer.h"
#include "runtime/WaitHandle.h"

// The worker of a run (SimLifecycle.h); only the lifecycle touches it.
class SimInputPayloadThread;

// Marker of simAnalyticInstanceType while no run is active.
constexpr API_InstanceTypeEnum kNoRunInstanceType = API_INSTANCE_NONE;
constexpr int kFrameRingSlots = 5;

extern std::mutex simMutex;

// Run identity, geometry and callbacks.
extern API_InstanceTypeEnum simAnalyticInstanceType;
extern int imWidth;
extern int imHeight;
extern int imDepth;
extern TargetCallback targetCallback;
extern TargetPayloadCallback targetBaseCallback;
// Written only while no run is active; the worker reads it without the lock.
extern ReadyForNewInputCallback inputCallback;

// Frame ring and worker.
extern unsigned char** simBuffer;
extern void** simContextPtr;
extern int simIndexIn;
extern int simIndexOut;
extern SimInputPayloadThread* inputPayloadThread;
extern KVO::WaitHandle& inputCallbackWaitHandle;  // has its own lock
// Written by SIMStart before the worker exists, then only by the worker.
extern double timeAtInputCallback;
extern std::atomic<int> simFPSCap;  // read by the worker without the lock

// Frame-rate and latency figures.
extern int simFPSCount;
extern int simLatencyCount;
extern int framesSinceLastFpsUpdate;
extern double lastFpsUpdate;

// Synthetic target.
extern unsigned int targetId;
extern int simX;
extern int simY;
extern int simDirection;
extern int simLifetime;
extern std::vector<KVO::Point2D<int>>& simTargetHistory;
extern int targetHistoryTracker;
extern int breadCrumpCount;

// Overlay and border mask.
extern bool overlayInUse;
extern bool borderMaskInUse;
extern int simBorderMaskLeft;
extern int simBorderMaskBottom;
extern int simBorderMaskWidth;
extern int simBorderMaskHeight;
// One byte per pixel of the run that set it, row 0 at the bottom; a 0 byte
// at a target's box centre admits the target. Written by SIMSetOverlay, read
// by SIMProcessNextFrame. Kept across runs; empty (no storage) at load and
// after a failed copy.
extern KVO::UserDataGenericBuffer<unsigned char>& simOverlay;

// Settings.
extern bool metadataIsActive;
extern unsigned int simPredictionFrames;
extern int simLandSensitivity;
extern int simMaritimeSensitivity;
extern int simSARSensitivity;
extern bool simAutoBorderActive;
extern bool simParallaxFilterActive;
extern int simAutoStabilizationFactor;
extern int simDesiredBreadcrumbTrailLength;
extern int simDesiredBreadcrumbLifeTime;
extern int simPredictiveIdAggressiveness;
extern bool simActivateAutoHorizon;
extern unsigned int simHorizonHintX;
extern unsigned int simHorizonHintY;
extern unsigned int simTopCutOffLine;
extern unsigned int simBottomCutOffLine;
extern unsigned int simStrength;
extern bool simDEM_BaseFolderHasBeenSet;
extern int simDEM_Level;
extern API_GeoLocMethodEnum simDEM_GeoLocMethod;
extern int simMGRS_Precision;

// Marks, for its lifetime, the calling thread as running host code (a result
// callback) with simMutex held: ending a run there must not wait for that
// lock. SimHostCodeUnderLockHere() tells, on the calling thread.
class SimHostCodeUnderLock {
 public:
  SimHostCodeUnderLock();
  ~SimHostCodeUnderLock();
  SimHostCodeUnderLock(const SimHostCodeUnderLock&) = delete;
  SimHostCodeUnderLock& operator=(const SimHostCodeUnderLock&) = delete;

 private:
  const bool outer;
};
bool SimHostCodeUnderLockHere();

// The wait handle, the overlay and the history are built at load and
// destroyed at unload, in that order, unless this was called first: a worker
// that could not be ended may still use them, so they are then left alive.
// Called only on the thread that unloads the library or ends the process.
void SimKeepRunObjectsAtUnload();

// Puts the synthetic target back to its start: id 1 at (20, 20), direction 0,
// lifetime 100. simMutex held.
void ResetSyntheticTarget();

// Returns every variable that SIMStop does not keep to its stopped value;
// frees nothing. simMutex held.
void ResetRunState();

// True while a run is active. simMutex held.
inline bool SimRunIsActive() { return simAnalyticInstanceType != kNoRunInstanceType; }

// True while a run of the land family (types 0 and 8: 0 once the bit of
// value 8 is cleared) is active; 255 is not in it. simMutex held.
inline bool SimRunIsLandFamily() {
  return (static_cast<uint32_t>(simAnalyticInstanceType) & ~uint32_t{8}) == 0;
}

#endif  // API_SIMSTATE_H_
