// An example host of the simulated analytics interface, built against the
// public header and the shared library only.
//
//   example_host [width height depth instanceType frames]
//
// Starts a payload run (defaults: 640 480 1 0 60), fills and hands back every
// buffer it is offered, prints one line per report, and after the given
// number of reports prints the run's frame-rate and latency figures and
// stops.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "TolvenixUtilities.h"

namespace {

struct Run {
  int width = 640;
  int height = 480;
  int depth = 1;
  unsigned int instanceType = 0;
  int frames = 60;
};

Run run;

// Reports counted so far; main waits on it.
std::mutex reportMutex;
std::condition_variable reportsChanged;
int reports = 0;

// Frames handed back; touched only by the worker thread that offers buffers.
std::uintptr_t framesHandedBack = 0;

// Called on the library's worker thread, no lock held: fill the frame and
// hand it back. The frame's number travels as its context. Once enough
// frames are queued to produce every wanted report, stop handing back, which
// ends the offers.
void OnReadyForNewInput(unsigned char* buffer) {
  if (buffer == nullptr) return;
  constexpr int kRingDelay = 4;
  if (framesHandedBack >= static_cast<std::uintptr_t>(run.frames + kRingDelay)) {
    return;
  }
  const std::size_t bytes = static_cast<std::size_t>(run.width) * run.height * run.depth;
  std::memset(buffer, static_cast<int>(framesHandedBack & 0xFF), bytes);
  ++framesHandedBack;
  SIMProcessNextFrame(reinterpret_cast<void*>(framesHandedBack));
}

// Called with the library's lock held: print and count, nothing more.
void OnPayload(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  const auto frame = reinterpret_cast<std::uintptr_t>(payload->context);
  if (payload->targets.size() == 0) {
    std::printf("frame %4lu  no target\n", static_cast<unsigned long>(frame));
  } else {
    const TARGET& t = payload->targets[0];
    const unsigned long trail =
        payload->breadcrumbs.size() > 0 ? payload->breadcrumbs[0].xs.size() : 0;
    std::printf(
        "frame %4lu  id %u  box left %d bottom %d right %d top %d  "
        "confidence %d%%  trail %lu\n",
        static_cast<unsigned long>(frame), t.id, t.left, t.bottom, t.right, t.top, t.confidence,
        trail);
  }
  {
    std::lock_guard<std::mutex> lock(reportMutex);
    ++reports;
  }
  reportsChanged.notify_all();
}

bool ParseArguments(int argc, char** argv) {
  if (argc == 1) return true;
  if (argc != 6) return false;
  run.width = std::atoi(argv[1]);
  run.height = std::atoi(argv[2]);
  run.depth = std::atoi(argv[3]);
  run.instanceType = static_cast<unsigned int>(std::atoi(argv[4]));
  run.frames = std::atoi(argv[5]);
  return run.width > 0 && run.height > 0 && run.frames > 0 && run.frames <= 1000000;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseArguments(argc, argv)) {
    std::fprintf(stderr, "usage: %s [width height depth instanceType frames]\n", argv[0]);
    return 2;
  }

  // Registered before the start: registration is refused during a run.
  SIMRegisterReadyForNewInputCallback(&OnReadyForNewInput);
  if (!SIMStart(static_cast<API_InstanceTypeEnum>(run.instanceType), run.width, run.height,
                run.depth, &OnPayload, nullptr, nullptr)) {
    std::fprintf(stderr, "SIMStart refused type %u, %d x %d x %d\n", run.instanceType, run.width,
                 run.height, run.depth);
    return 1;
  }
  SIMClearBorderMaskAndOverlay();  // report wherever the target goes

  bool finished;
  {
    std::unique_lock<std::mutex> lock(reportMutex);
    finished = reportsChanged.wait_for(lock, std::chrono::seconds(10 + run.frames / 5),
                                       [] { return reports >= run.frames; });
  }

  API_State state;
  if (SIMGetAPIState(&state)) {
    std::printf("frame rate %d fps, latency %d ms\n", state.fps, state.latency_mS);
  }
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  if (!finished) {
    std::fprintf(stderr, "only %d of %d reports arrived\n", reports, run.frames);
    return 1;
  }
  return 0;
}
