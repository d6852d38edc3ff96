// The SIM queries that answer one figure: run status, maximum sensitivity,
// average confidence and remote status.
#include <cstdint>
#include <mutex>

#include "TolvenixUtilities.h"
#include "api/SimState.h"

namespace {

constexpr std::int32_t kStatusRunning = 0;
constexpr std::int32_t kStatusNotStarted = 9;
constexpr int kMaxLandSensitivity = 8;
constexpr int kMaxOtherSensitivity = 15;
constexpr int kAvgConfidenceLevel = 100;

}  // namespace

std::int32_t SIMGetAPIStatus() {
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() ? kStatusRunning : kStatusNotStarted;
}

std::int32_t SIMGetMaxSensitivity(API_TypeEnum kind) {
  std::lock_guard<std::mutex> lock(simMutex);
  if (!SimRunIsActive()) return -1;
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
  std::lock_guard<std::mutex> lock(simMutex);
  return SimRunIsActive() ? kAvgConfidenceLevel : -1;
}

bool SIMGetRemoteStatus(API_RemoteStatus* /*status*/) {
  // No instance type that SIMStart accepts has a remote status; the lock is
  // still taken so the call orders like every other SIM function.
  std::lock_guard<std::mutex> lock(simMutex);
  return false;
}
