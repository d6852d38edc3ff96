// SIMProcessNextFrame: the frame ring, the frame-rate and latency figures,
// the synthetic target's step and the reports to the host.
//
// Everything here runs with simMutex held. The result callback is called
// under it too, which is why hosts may not re-enter the SIM functions from it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"
#include "runtime/PerformanceTimer.h"

namespace {

constexpr int kBoxSize = 20;
constexpr int kBoxHalf = kBoxSize / 2;
// A coordinate at or below kLowMargin, or at or beyond size - kHighMargin,
// bounces or is put back to kResetLow / size - kResetHighOffset.
constexpr int kLowMargin = 19;
constexpr int kHighMargin = 39;
constexpr int kResetLow = 20;
constexpr int kResetHighOffset = 40;
constexpr int kBreadcrumbCadence = 30;
constexpr double kFpsIntervalSec = 1.0;

// The respawn draws place the box in 20 .. size - 21. Frames of 40 pixels or
// less leave no such range; the box then respawns at 20 rather than taking a
// remainder by zero or by a negative number.
int RespawnRange(int size) { return std::max(size - kResetHighOffset, 1); }

void MoveAndBounce() {
  const bool rightward = simDirection == 0 || simDirection == 1;
  const bool upward = simDirection == 0 || simDirection == 2;
  simX += rightward ? 1 : -1;
  simY += upward ? 1 : -1;

  // The four margins are tested in turn on what the previous test left, so a
  // corner turns the direction twice in one frame.
  if (simX >= imWidth - kHighMargin) {
    if (simDirection == 0) {
      simDirection = 2;
    } else if (simDirection == 1) {
      simDirection = 3;
    } else {
      simX = kResetLow;
    }
  }
  if (simX <= kLowMargin) {
    if (simDirection == 2) {
      simDirection = 0;
    } else if (simDirection == 3) {
      simDirection = 1;
    } else {
      simX = imWidth - kResetHighOffset;
    }
  }
  if (simY >= imHeight - kHighMargin) {
    if (simDirection == 0) {
      simDirection = 1;
    } else if (simDirection == 2) {
      simDirection = 3;
    } else {
      simY = kResetLow;
    }
  }
  if (simY <= kLowMargin) {
    if (simDirection == 1) {
      simDirection = 0;
    } else if (simDirection == 3) {
      simDirection = 2;
    } else {
      simY = imHeight - kResetHighOffset;
    }
  }
}

// The rand() draws come in a fixed order (test, lifetime, direction, x, y),
// so a host that seeds rand() sees the same run again.
void MaybeRespawn() {
  if (std::rand() % 1000 <= 950) return;
  ++targetId;
  simLifetime = std::rand() % 300 + 300;
  simDirection = std::rand() % 4;
  simX = std::rand() % RespawnRange(imWidth) + kResetLow;
  simTargetHistory.clear();
  targetHistoryTracker = 0;
  simY = std::rand() % RespawnRange(imHeight) + kResetLow;
}

void StepTarget() {
  if (simLifetime >= 1) {
    --simLifetime;
    MoveAndBounce();
  } else {
    MaybeRespawn();
  }
}

TARGET MakeReport() {
  TARGET report{};
  report.id = targetId;
  report.left = simX;
  report.top = simY + kBoxSize;
  report.right = simX + kBoxSize;
  report.bottom = simY;
  report.confidence = std::rand() % 70 + 30;
  // Floating-point divisions: a coordinate of 0 gives infinity, not a trap.
  report.value1 = static_cast<double>(imHeight) / simX;
  report.value2 = static_cast<double>(imWidth) / simY;
  static constexpr char kText[] = "n/a";
  std::memcpy(report.text, kText, sizeof kText);
  return report;
}

// The overlay is kept across runs and may have another geometry than this
// run, or no pixels at all after a failed copy: only a centre inside the
// stored overlay is looked up.
bool OverlayAdmits(int centreX, int centreY) {
  if (simOverlay.begin == nullptr) return false;
  if (centreX < 0 || centreY < 0) return false;
  if (centreX >= simOverlay.width || centreY >= simOverlay.height) return false;
  const std::int64_t offset = static_cast<std::int64_t>(centreY) * simOverlay.stride +
                              static_cast<std::int64_t>(centreX) * simOverlay.channels;
  return simOverlay.begin[offset] == 0;
}

// Strict on all four sides, on the box's lower-left corner. The sums are
// taken in 64 bits so that no rectangle overflows them.
bool BorderMaskAdmits(int x, int y) {
  const std::int64_t right = static_cast<std::int64_t>(simBorderMaskLeft) + simBorderMaskWidth;
  const std::int64_t top = static_cast<std::int64_t>(simBorderMaskBottom) + simBorderMaskHeight;
  return simBorderMaskLeft < x && x < right && simBorderMaskBottom < y && y < top;
}

int TrailLimit(int selector) {
  switch (selector) {
    case 0:
      return 10;
    case 1:
      return 20;
    case 2:
      return 50;
    default:
      return 200;
  }
}

void AddBreadcrumbTrail(TargetPayloadLand& payload, std::uint32_t id) {
  // Not a sliding window: past the limit the whole history starts again.
  if (breadCrumpCount > TrailLimit(simDesiredBreadcrumbTrailLength)) {
    simTargetHistory.clear();
    breadCrumpCount = 0;
  }
  // A host that hands frames back unpaced reaches the top of an int in under
  // an hour; folding the tracker there keeps the cadence and avoids overflow.
  if (targetHistoryTracker == std::numeric_limits<int>::max()) {
    targetHistoryTracker %= kBreadcrumbCadence;
  }
  ++targetHistoryTracker;
  if (targetHistoryTracker % kBreadcrumbCadence == 0) {
    ++breadCrumpCount;
    simTargetHistory.push_back({simX + kBoxHalf, simY + kBoxHalf});
  }

  KVO::Vector<LandPayload_Breadcrumb>& trails = payload.breadcrumbs;
  if (trails.count == trails.capacity) {
    trails.set_capacity(trails.count + 1 + trails.capacity / 2);
  }
  // Filled in place: the slot is a default-constructed, empty breadcrumb.
  LandPayload_Breadcrumb& trail = trails.data[trails.count];
  trail.id = id;
  trail.xs.set_capacity(simTargetHistory.size());
  trail.ys.set_capacity(simTargetHistory.size());
  for (const KVO::Point2D<int>& point : simTargetHistory) {
    trail.xs.push_back(point.x);
    trail.ys.push_back(point.y);
  }
  ++trails.count;
}

void SendPayload(void* context, const TARGET& report) {
  TargetPayloadLand payload;
  payload.context = context;

  // A payload run inherits the previous run's rectangle; an unset one
  // (as at load) becomes the whole frame the first time it is needed.
  if (simBorderMaskWidth == 0) simBorderMaskWidth = imWidth;
  if (simBorderMaskHeight == 0) simBorderMaskHeight = imHeight;

  const bool included =
      overlayInUse ? OverlayAdmits(simX + kBoxHalf, simY + kBoxHalf) : BorderMaskAdmits(simX, simY);
  if (included) {
    payload.targets.push_back(report);
    if (SimRunIsLandFamily()) {
      AddBreadcrumbTrail(payload, report.id);
    }
  }
  if (targetBaseCallback != nullptr) targetBaseCallback(&payload);
}

void ProcessSlot(int slot) {
  // An exit called from the result callback must not wait for simMutex.
  const SimHostCodeUnderLock scope;
  StepTarget();
  // Aligned beyond the packed record's own alignment of 1, so that a host
  // reading its 32-bit fields reads them aligned.
  alignas(8) TARGET report = MakeReport();
  void* context = simContextPtr[slot];
  if (targetCallback != nullptr) {
    targetCallback(context, 1, &report);
    return;
  }
  SendPayload(context, report);
}

int NextSlot(int slot) { return slot + 1 == kFrameRingSlots ? 0 : slot + 1; }

// A clock stepped backwards or a callback that ran for weeks must not turn
// into an out-of-range conversion.
int ClampToInt(double value) {
  if (!(value > 0.0)) return 0;
  constexpr double kMax = std::numeric_limits<int>::max();
  return value >= kMax ? std::numeric_limits<int>::max() : static_cast<int>(value);
}

// lastFpsUpdate holds GetTime_Sec() readings, as SIMStart stores one: a
// millisecond reading divided by 1000 rounds differently and can lie after a
// later seconds reading.
void CountFrameForRate() {
  ++framesSinceLastFpsUpdate;
  const double now = KVO::PerformanceTimer::GetTime_Sec();
  const double elapsed = now - lastFpsUpdate;
  // A wall clock set back would hold the figure until it caught up again,
  // counting frames all the while: start the interval afresh instead.
  if (elapsed < 0.0) {
    lastFpsUpdate = now;
    framesSinceLastFpsUpdate = 0;
  } else if (elapsed >= kFpsIntervalSec) {
    simFPSCount = ClampToInt(framesSinceLastFpsUpdate / elapsed);
    lastFpsUpdate = now;
    framesSinceLastFpsUpdate = 0;
  }
}

void ProcessQueuedFrame() {
  const double startMs = KVO::PerformanceTimer::GetTime_mS();
  CountFrameForRate();

  // Once the ring is full the slot queued four calls ago is the one due. The
  // ring moves on before the report, so a failed report leaves it in step.
  if (simIndexIn == simIndexOut) {
    const int slot = simIndexOut;
    simIndexOut = NextSlot(simIndexOut);
    ProcessSlot(slot);
  }

  simLatencyCount = ClampToInt(KVO::PerformanceTimer::GetTime_mS() - startMs);
}

// Caller holds simMutex. False, with nothing done, when no run is active.
bool ProcessNextFrameLocked(void* context) {
  if (!SimRunIsActive()) return false;

  simContextPtr[simIndexIn] = context;
  simIndexIn = NextSlot(simIndexIn);

  // The worker is woken however the frame ends: an allocation failure in a
  // report must not stop the offers.
  try {
    ProcessQueuedFrame();
  } catch (...) {
    inputCallbackWaitHandle.Set();
    throw;
  }
  inputCallbackWaitHandle.Set();
  return true;
}

}  // namespace

void SIMProcessNextFrame(void* context) {
  std::lock_guard<std::mutex> lock(simMutex);
  ProcessNextFrameLocked(context);
}

void SIMProcessNextFrame(void* context, APIProcessNextFrameStatusCode_Enum* status) {
  bool active;
  {
    std::lock_guard<std::mutex> lock(simMutex);
    active = ProcessNextFrameLocked(context);
  }
  if (active && status != nullptr) {
    *status = static_cast<APIProcessNextFrameStatusCode_Enum>(0);
  }
}

void SIMProcessNextFrame(void* context, APIProcessNextFrameStatusCode_Enum* status,
                         APIMaritimeHorizonHint* /*hint*/) {
  SIMProcessNextFrame(context, status);
}
