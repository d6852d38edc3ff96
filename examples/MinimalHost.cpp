// Starts a simulated run, takes a few frame offers and stops.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "TolvenixUtilities.h"

namespace {

std::atomic<int> offers{0};

void OnReadyForNewInput(unsigned char* buffer) {
  if (buffer != nullptr) ++offers;
}

}  // namespace

int main() {
  SIMRegisterReadyForNewInputCallback(&OnReadyForNewInput);
  if (!SIMStart(API_INSTANCE_LAND, 640, 480, 1, static_cast<TargetCallback>(nullptr))) {
    std::fprintf(stderr, "SIMStart refused\n");
    return 1;
  }
  std::printf("frame lag after start: %d\n", SIMGetFrameLag());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (offers.load() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  SIMStop();
  std::printf("offers received: %d\n", offers.load());
  return offers.load() >= 1 ? 0 : 1;
}
