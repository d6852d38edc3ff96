// The simulator's run lifecycle: SIMStart and SIMStop, the frame ring's
// buffers and the worker that offers them to the host.
#include "api/SimLifecycle.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"
#include "runtime/PerformanceTimer.h"
#include "runtime/Sleep.h"
#include "runtime/StaticTls.h"

namespace {

// Serialises whole SIMStop calls: a second stop must not free the frame
// buffers while the first is still joining a worker that may be offering one.
std::mutex simStopMutex;

using Clock = std::chrono::steady_clock;

// How long ending a run at exit or unload waits for a lock or for the worker
// to come back from a host callback: the grace period the worker is given
// when it is destroyed. A host callback that blocks longer must not hold the
// process's end for ever.
constexpr int kUnloadWaitMs = 5000;

// A worker that could not be ended at exit or unload: never destroyed, as
// its thread may still run, and kept reachable.
SimInputPayloadThread* abandonedWorker = nullptr;

// Set on the worker's own thread: a SIMStop made there (from the host's
// ready-for-new-input callback) would join the thread it runs on.
KVO_STATIC_TLS thread_local bool onRunWorker = false;

constexpr int kDefaultWidth = 1920;
constexpr int kDefaultHeight = 1080;
constexpr int kDefaultDepth = 1;

bool TypeIsAccepted(API_InstanceTypeEnum type) {
  return (static_cast<uint32_t>(type) & ~uint32_t{8}) <= 2;
}

bool DepthIsAccepted(int depth) { return depth == 1 || depth == 3 || depth == 4; }

// The frame size in bytes, or 0 when the geometry is outside what the
// simulator handles (its byte size must be a positive 32-bit signed value).
int FrameBytes(int width, int height, int depth) {
  if (width <= 0 || height <= 0 || depth <= 0) return 0;
  const int64_t bytes = int64_t{width} * height * depth;
  if (bytes > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int>(bytes);
}

// Frees the frame ring. simMutex held.
void FreeFrameRing() {
  delete[] simContextPtr;
  simContextPtr = nullptr;
  if (simBuffer != nullptr) {
    for (int i = 0; i < kFrameRingSlots; ++i) delete[] simBuffer[i];
    delete[] simBuffer;
    simBuffer = nullptr;
  }
}

// What a SIMStart overload stores beyond the common part.
struct StartRequest {
  API_InstanceTypeEnum type;
  int width;
  int height;
  int depth;
  TargetCallback targetArrayCallback;
  TargetPayloadCallback payloadCallback;
  // The TARGET-array overload restarts the frame-rate measurement and the
  // offer pacing and makes the whole frame the border mask.
  bool restartMeasurement;
};

// Takes `mutex`; with a deadline, polls it until then and answers false
// when it stayed taken. Polled rather than timed: a timed lock on the steady
// clock escapes ThreadSanitizer's view, which then reports the unlock.
bool LockBy(std::mutex& mutex, const Clock::time_point* deadline) {
  if (deadline == nullptr) {
    mutex.lock();
    return true;
  }
  while (!mutex.try_lock()) {
    if (Clock::now() >= *deadline) return false;
    KVO::SleepMs(1);
  }
  return true;
}

int MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// Ends the run, if any, as SIMStop describes. Without a deadline it waits
// for as long as it takes and answers true. With one, it answers false once
// a lock or the worker's end has not come by then, and leaves whatever the
// worker may still use alive.
bool StopRun(const Clock::time_point* deadline) {
  if (!LockBy(simStopMutex, deadline)) return false;
  std::lock_guard<std::mutex> stopLock(simStopMutex, std::adopt_lock);
  SimInputPayloadThread* worker = nullptr;
  if (!LockBy(simMutex, deadline)) return false;
  {
    std::lock_guard<std::mutex> lock(simMutex, std::adopt_lock);
    worker = inputPayloadThread;
    inputPayloadThread = nullptr;
  }
  // The worker takes simMutex to fetch a buffer, so it is joined unlocked.
  if (worker != nullptr) {
    worker->RequestToStop();
    inputCallbackWaitHandle.Set();
    if (deadline == nullptr) {
      worker->WaitForStop();
    } else if (!worker->WaitForStopWithin(MsUntil(*deadline))) {
      abandonedWorker = worker;
      return false;
    }
    delete worker;
  }
  if (!LockBy(simMutex, deadline)) return false;
  std::lock_guard<std::mutex> lock(simMutex, std::adopt_lock);
  // A worker here belongs to a run that another thread started after this
  // call found none: that run is not this call's to end, and resetting it
  // would free buffers its worker still offers.
  if (inputPayloadThread != nullptr) return true;
  ResetRunState();
  FreeFrameRing();
  return true;
}

// Ends a run still active when the process ends or the library is unloaded,
// before the objects its worker uses are destroyed. Where that cannot be
// done safely the run is left as it is, and those objects alive.
void EndRunAtUnload() {
  // On the worker itself (an exit from the ready callback) there is nothing
  // to join, and under simMutex (an exit from a result callback) the worker
  // may be waiting for the lock this thread will never release.
  if (onRunWorker || SimHostCodeUnderLockHere()) {
    SimKeepRunObjectsAtUnload();
    return;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kUnloadWaitMs);
  if (!StopRun(&deadline)) SimKeepRunObjectsAtUnload();
}

// Its destructor is registered at the first start, after every object of
// the library built at load, so it runs before any of theirs: at exit, and
// at unload, before the library's code is unmapped.
struct RunEnderAtUnload {
  RunEnderAtUnload() = default;
  ~RunEnderAtUnload() { EndRunAtUnload(); }
  RunEnderAtUnload(const RunEnderAtUnload&) = delete;
  RunEnderAtUnload& operator=(const RunEnderAtUnload&) = delete;
};

bool StartRun(const StartRequest& request) {
  static RunEnderAtUnload runEnder;
  std::lock_guard<std::mutex> lock(simMutex);
  // A second start during a run would orphan the first run's worker and
  // buffers.
  if (SimRunIsActive()) return false;
  if (!TypeIsAccepted(request.type)) return false;
  if (!DepthIsAccepted(request.depth)) return false;
  const int frameBytes = FrameBytes(request.width, request.height, request.depth);
  if (frameBytes == 0) return false;

  // Everything that can fail is made before any state changes.
  std::unique_ptr<void*[]> contexts(new void*[kFrameRingSlots]);
  std::unique_ptr<unsigned char*[]> buffers(new unsigned char*[kFrameRingSlots]());
  std::unique_ptr<unsigned char[]> frames[kFrameRingSlots];
  for (auto& frame : frames) frame.reset(new unsigned char[frameBytes]);
  std::unique_ptr<SimInputPayloadThread> worker(new SimInputPayloadThread());
  // The worker starts by waiting on the handle, which is set only once the
  // run is in place; a set left over from the previous run's stop is
  // discarded first. The handle's own lock orders the writes below before
  // the worker's reads.
  inputCallbackWaitHandle.Reset();
  worker->Start();

  simAnalyticInstanceType = request.type;
  imWidth = request.width;
  imHeight = request.height;
  imDepth = request.depth;
  targetCallback = request.targetArrayCallback;
  targetBaseCallback = request.payloadCallback;
  ResetSyntheticTarget();
  simIndexIn = simIndexOut = 0;
  if (request.restartMeasurement) {
    framesSinceLastFpsUpdate = 0;
    lastFpsUpdate = KVO::PerformanceTimer::GetTime_Sec();
    timeAtInputCallback = KVO::PerformanceTimer::GetTime_mS();
    simBorderMaskLeft = 0;
    simBorderMaskBottom = 0;
    simBorderMaskWidth = request.width;
    simBorderMaskHeight = request.height;
  }
  for (int i = 0; i < kFrameRingSlots; ++i) buffers[i] = frames[i].release();
  simBuffer = buffers.release();
  simContextPtr = contexts.release();
  inputPayloadThread = worker.release();
  inputCallbackWaitHandle.Set();
  return true;
}

}  // namespace

int64_t SimOfferWaitMs(double periodMs, double nowMs, double lastOfferMs) {
  // A wall clock set back must not stretch the wait beyond one period.
  const double elapsedMs = std::max(nowMs - lastOfferMs, 0.0);
  if (periodMs >= 1000.0 || periodMs <= elapsedMs) return 0;
  return static_cast<int64_t>(periodMs - elapsedMs);
}

SimInputPayloadThread::SimInputPayloadThread() : KVO::Thread("KVOWorkerThread", 5000, false) {}

// Stopped and joined here, while the object is whole: a compiler that
// leaves the body's lookup to the new thread would otherwise let a thread
// not yet in its body find Thread's pure one. The library destroys the
// worker only after joining it, so this normally finds nothing to do.
SimInputPayloadThread::~SimInputPayloadThread() {
  RequestToStop();
  inputCallbackWaitHandle.Set();
  WaitForStop();
}

int SimInputPayloadThread::ThreadMain() {
  onRunWorker = true;
  double periodMs = 33.0;
  while (!stopRequested) {
    try {
      inputCallbackWaitHandle.WaitOne();
      inputCallbackWaitHandle.Reset();
      if (stopRequested) break;
      if (inputCallback == nullptr) continue;

      const double now = KVO::PerformanceTimer::GetTime_mS();
      const int cap = simFPSCap.load();
      if (cap != 0) periodMs = 1000.0 / static_cast<double>(cap);
      const int64_t waitMs = SimOfferWaitMs(periodMs, now, timeAtInputCallback);
      if (waitMs >= 1) KVO::SleepMs(waitMs);
      // A stop requested during the pacing (SIMStop, or the process ending)
      // gets no further offer.
      if (stopRequested) break;
      timeAtInputCallback = KVO::PerformanceTimer::GetTime_mS();
      inputCallback(SIMGetNextFrameBuffer());
    } catch (const std::exception& e) {
      // An exception leaving this thread would end the host's process.
      std::fprintf(stderr, "KVOWorkerThread: frame offer failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "KVOWorkerThread: frame offer failed\n");
    }
  }
  return 0;
}

bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
              TargetCallback callback) {
  return StartRun({type, width, height, depth, callback, nullptr, true});
}

bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
              TargetPayloadCallback callback, char* /*reserved1*/, char* /*reserved2*/) {
  return StartRun({type, width, height, depth, nullptr, callback, false});
}

bool SIMStart(API_InstanceTypeEnum type, TargetPayloadCallback callback, char* /*reserved1*/,
              char* /*reserved2*/) {
  return StartRun({type, kDefaultWidth, kDefaultHeight, kDefaultDepth, nullptr, callback, false});
}

void SIMStop() {
  // Joining itself would fail and lose the worker, and waiting for a stop
  // already under way would never end: the run is left to the host.
  if (onRunWorker) return;
  StopRun(nullptr);
}

void SIMRegisterReadyForNewInputCallback(ReadyForNewInputCallback callback) {
  std::lock_guard<std::mutex> lock(simMutex);
  if (!SimRunIsActive()) inputCallback = callback;
}

unsigned char* SIMGetNextFrameBuffer() {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() ? simBuffer[simIndexIn] : nullptr;
}

unsigned char* SIMGetNextFrameBuffer(APIGetNextFrameBufferStatusCode_Enum* status) {
  unsigned char* buffer = SIMGetNextFrameBuffer();
  if (status != nullptr) *status = API_GET_NEXT_FRAME_BUFFER_OK;
  return buffer;
}

bool SIMCancelFrameBuffer(unsigned char* buffer) {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() && buffer != nullptr && buffer == simBuffer[simIndexIn];
}

int SIMGetFrameLag() {
  std::lock_guard<std::mutex> lock(simMutex);
  if (!SimRunIsActive()) return 0;
  int lag = simIndexIn - simIndexOut;
  if (simIndexIn <= simIndexOut) lag += kFrameRingSlots;
  return lag;
}
