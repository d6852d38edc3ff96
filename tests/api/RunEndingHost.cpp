// A host that ends its process with a run active, without SIMStop, in the
// way its one argument names. Tests start it afresh for each case. It prints
// "reached" just before the end under test; it exits 0 from main and 7 from
// inside a callback, and 1 when the run did not get that far.
//
// Everything the callbacks touch is trivially destructible: a host's own
// objects destroyed at exit under its callbacks would be the host's fault.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "TolvenixUtilities.h"

namespace {

constexpr int kReports = 10;
constexpr int kCallbackExit = 7;

std::atomic<int> offers{0};
std::atomic<int> reports{0};
std::atomic<bool> frameWaiting{false};

void Reached() {
  std::printf("reached\n");
  std::fflush(stdout);
}

void EndInsideCallback() {
  Reached();
  std::exit(kCallbackExit);
}

// Polls generously; false when the run never got there.
template <typename Done>
bool WaitUntil(Done done) {
  for (int i = 0; i < 60000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

void HoldFrame(unsigned char*) { ++offers; }
void HandBack(unsigned char*) { SIMProcessNextFrame(nullptr); }
void HandBackAndExitLate(unsigned char*) {
  if (reports >= kReports) EndInsideCallback();
  SIMProcessNextFrame(nullptr);
}
void PassToHost(unsigned char*) { frameWaiting = true; }
void NeverReturn(unsigned char*) {
  ++offers;
  for (;;) pause();
}

void Count(void*, unsigned int, TARGET*) { ++reports; }
void CountAndExitLate(void*, unsigned int, TARGET*) {
  if (++reports >= kReports) EndInsideCallback();
}

struct Scenario {
  const char* name;
  ReadyForNewInputCallback ready;
  TargetCallback result;
};

constexpr Scenario kScenarios[] = {
    {"return-holding-frame", &HoldFrame, &Count},
    {"return-frames-flowing", &HandBack, &Count},
    {"exit-in-ready-callback", &HandBackAndExitLate, &Count},
    {"exit-in-result-callback-on-worker", &HandBack, &CountAndExitLate},
    {"exit-in-result-callback-on-host-thread", &PassToHost, &CountAndExitLate},
    {"return-while-ready-callback-never-returns", &NeverReturn, &Count},
};

}  // namespace

int main(int argc, char** argv) {
  const Scenario* scenario = nullptr;
  for (const Scenario& s : kScenarios) {
    if (argc == 2 && std::strcmp(argv[1], s.name) == 0) scenario = &s;
  }
  if (scenario == nullptr) {
    std::fprintf(stderr, "usage: %s scenario\n", argv[0]);
    return 2;
  }
  SIMRegisterReadyForNewInputCallback(scenario->ready);
  if (!SIMStart(API_INSTANCE_LAND, 64, 48, 1, scenario->result)) return 1;

  if (scenario->ready == &PassToHost) {
    // This thread hands the frames back, so the result callback runs here.
    for (int i = 0; i < 60000; ++i) {
      if (frameWaiting.exchange(false)) {
        SIMProcessNextFrame(nullptr);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return 1;
  }
  if (scenario->ready == &HoldFrame || scenario->ready == &NeverReturn) {
    if (!WaitUntil([] { return offers > 0; })) return 1;
    // Time for the worker to wait again, or to sit in the callback.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Reached();
    return 0;
  }
  if (!WaitUntil([] { return reports >= kReports; })) return 1;
  if (scenario->result == &CountAndExitLate || scenario->ready == &HandBackAndExitLate) {
    // The callback ends the process; this thread only waits for it.
    for (;;) pause();
  }
  Reached();
  return 0;
}
