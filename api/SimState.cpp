// The simulator's process-wide state and its return to the stopped values.
#include "api/SimState.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "runtime/StaticTls.h"

namespace {

bool keepRunObjects = false;

// An object built at load whose destruction at unload can be called off.
template <typename T>
class RunObject {
 public:
  template <typename... Args>
  explicit RunObject(Args&&... args) {
    new (storage) T(std::forward<Args>(args)...);
  }
  ~RunObject() {
    if (!keepRunObjects) Get().~T();
  }
  RunObject(const RunObject&) = delete;
  RunObject& operator=(const RunObject&) = delete;

  T& Get() { return *std::launder(reinterpret_cast<T*>(storage)); }

 private:
  alignas(T) unsigned char storage[sizeof(T)];
};

}  // namespace

// Constant-initialised: no constructor runs at load.
std::mutex simMutex;

API_InstanceTypeEnum simAnalyticInstanceType = kNoRunInstanceType;
int imWidth = 0;
int imHeight = 0;
int imDepth = 0;
TargetCallback targetCallback = nullptr;
TargetPayloadCallback targetBaseCallback = nullptr;
ReadyForNewInputCallback inputCallback = nullptr;

unsigned char** simBuffer = nullptr;
void** simContextPtr = nullptr;
int simIndexIn = 0;
int simIndexOut = 0;
SimInputPayloadThread* inputPayloadThread = nullptr;
double timeAtInputCallback = 0.0;
std::atomic<int> simFPSCap{30};

int simFPSCount = 30;
int simLatencyCount = 80;
int framesSinceLastFpsUpdate = 0;
double lastFpsUpdate = 0.0;

unsigned int targetId = 1;
int simX = 20;
int simY = 20;
int simDirection = 0;
int simLifetime = 100;
int targetHistoryTracker = 0;
int breadCrumpCount = 0;

bool overlayInUse = false;
bool borderMaskInUse = false;
int simBorderMaskLeft = 0;
int simBorderMaskBottom = 0;
int simBorderMaskWidth = 0;
int simBorderMaskHeight = 0;

bool metadataIsActive = false;
unsigned int simPredictionFrames = 0;
int simLandSensitivity = 0;
int simMaritimeSensitivity = 0;
int simSARSensitivity = 0;
bool simAutoBorderActive = false;
bool simParallaxFilterActive = false;
int simAutoStabilizationFactor = 0;
int simDesiredBreadcrumbTrailLength = 0;
int simDesiredBreadcrumbLifeTime = 0;
int simPredictiveIdAggressiveness = 0;
bool simActivateAutoHorizon = false;
unsigned int simHorizonHintX = 0;
unsigned int simHorizonHintY = 0;
unsigned int simTopCutOffLine = 0;
unsigned int simBottomCutOffLine = 0;
unsigned int simStrength = 0;
bool simDEM_BaseFolderHasBeenSet = false;
int simDEM_Level = 0;
API_GeoLocMethodEnum simDEM_GeoLocMethod = API_GEOLOC_METHOD_DEFAULT;
int simMGRS_Precision = 5;

namespace {
KVO_STATIC_TLS thread_local bool hostCodeUnderLock = false;
}  // namespace

SimHostCodeUnderLock::SimHostCodeUnderLock() : outer(hostCodeUnderLock) {
  hostCodeUnderLock = true;
}
SimHostCodeUnderLock::~SimHostCodeUnderLock() { hostCodeUnderLock = outer; }
bool SimHostCodeUnderLockHere() { return hostCodeUnderLock; }

// Built in this order, so that unload destroys the wait handle, the overlay
// and the history, in that order.
namespace {
RunObject<std::vector<KVO::Point2D<int>>> historyObject;
RunObject<KVO::UserDataGenericBuffer<unsigned char>> overlayObject(0, 0, 0, false);
RunObject<KVO::WaitHandle> waitHandleObject;
}  // namespace

std::vector<KVO::Point2D<int>>& simTargetHistory = historyObject.Get();
KVO::UserDataGenericBuffer<unsigned char>& simOverlay = overlayObject.Get();
KVO::WaitHandle& inputCallbackWaitHandle = waitHandleObject.Get();

void SimKeepRunObjectsAtUnload() { keepRunObjects = true; }

void ResetSyntheticTarget() {
  simDirection = 0;
  targetId = 1;
  simX = 20;
  simY = 20;
  simLifetime = 100;
}

void ResetRunState() {
  simAnalyticInstanceType = kNoRunInstanceType;
  simDEM_GeoLocMethod = API_GEOLOC_METHOD_DEFAULT;
  ResetSyntheticTarget();
  imWidth = imHeight = imDepth = 0;
  overlayInUse = false;
  metadataIsActive = false;
  simLandSensitivity = simMaritimeSensitivity = simSARSensitivity = 0;
  simAutoBorderActive = simParallaxFilterActive = false;
  simAutoStabilizationFactor = 0;
  simDesiredBreadcrumbTrailLength = 0;
  simDesiredBreadcrumbLifeTime = 0;
  simPredictiveIdAggressiveness = 0;
  simActivateAutoHorizon = false;
  simHorizonHintX = simHorizonHintY = 0;
  simTopCutOffLine = simBottomCutOffLine = 0;
  simStrength = 0;
  simDEM_BaseFolderHasBeenSet = false;
  simDEM_Level = 0;
  simIndexIn = simIndexOut = 0;
  simMGRS_Precision = 5;
  targetCallback = nullptr;
  targetBaseCallback = nullptr;
  simTargetHistory.clear();
  targetHistoryTracker = 0;
}
