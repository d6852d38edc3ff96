// An example host of the simulated analytics interface, built against the
// public header and the shared library only.
//
//   example_host [width height depth instanceType frames
//                 [saveEvery bmp|jpg prefix]]
//
// Starts a payload run (defaults: 640 480 1 0 60), fills and hands back every
// buffer it is offered, prints one line per report, and after the given
// number of reports prints the run's frame-rate and latency figures and
// stops. With saveEvery, every saveEvery-th offered frame is saved through
// UTIL_SaveImageFromBuffer as prefix_<frame>.bmp or .jpg with the reported
// target's box drawn into it (JPEG holds 1 or 3 bytes per pixel; 4-byte
// frames are saved as BMP, and it says so).
//
// Exit status: 0 when every wanted report arrived (and, when saving, every
// save worked), 1 when not, 2 for bad arguments.
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

// Frame saving, off unless saveEvery > 0.
struct Saving {
  int saveEvery = 0;
  int format = 1;  // the exports' file format: 1 BMP, 2 JPEG
  std::string suffix = ".bmp";
  std::string prefix;
};

Saving saving;

// A copy of an offered frame waiting for its report, then for main to save
// it. Guarded by reportMutex.
struct PendingFrame {
  std::uintptr_t frame = 0;
  std::vector<unsigned char> pixels;
  bool hasTarget = false;
  TARGET target{};
};
std::map<std::uintptr_t, std::vector<unsigned char>> framesAwaitingReport;
std::deque<PendingFrame> framesToSave;
int framesSaved = 0;
int savesFailed = 0;

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
  // The buffer is reused before its report comes back, so keep a copy.
  if (saving.saveEvery > 0 && framesHandedBack % saving.saveEvery == 0) {
    std::vector<unsigned char> copy(buffer, buffer + bytes);
    std::lock_guard<std::mutex> lock(reportMutex);
    framesAwaitingReport[framesHandedBack] = std::move(copy);
  }
  SIMProcessNextFrame(reinterpret_cast<void*>(framesHandedBack));
}

// Called with the library's lock held: print and count, and hand a kept
// frame over to main, which saves it once no lock of the library is held.
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
    auto kept = framesAwaitingReport.find(frame);
    if (kept != framesAwaitingReport.end()) {
      PendingFrame pending;
      pending.frame = frame;
      pending.pixels = std::move(kept->second);
      pending.hasTarget = payload->targets.size() > 0;
      if (pending.hasTarget) pending.target = payload->targets[0];
      framesAwaitingReport.erase(kept);
      framesToSave.push_back(std::move(pending));
    }
  }
  reportsChanged.notify_all();
}

// A one-pixel outline of the box in white. Coordinates count from the
// frame's bottom-left corner, and the buffer's first row is the bottom row,
// so y is the row index as it is.
void DrawBox(std::vector<unsigned char>& pixels, const TARGET& target) {
  auto plot = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= run.width || y >= run.height) return;
    const std::size_t at = (static_cast<std::size_t>(y) * run.width + x) * run.depth;
    std::memset(&pixels[at], 0xFF, static_cast<std::size_t>(run.depth));
  };
  for (int x = target.left; x <= target.right; ++x) {
    plot(x, target.bottom);
    plot(x, target.top);
  }
  for (int y = target.bottom; y <= target.top; ++y) {
    plot(target.left, y);
    plot(target.right, y);
  }
}

void Save(PendingFrame& pending) {
  if (pending.hasTarget) DrawBox(pending.pixels, pending.target);
  const std::string path = saving.prefix + "_" + std::to_string(pending.frame) + saving.suffix;
  if (UTIL_SaveImageFromBuffer(
          path.c_str(), static_cast<unsigned int>(run.width), static_cast<unsigned int>(run.height),
          static_cast<unsigned int>(run.depth), pending.pixels.data(), saving.format, 0)) {
    std::printf("saved %s\n", path.c_str());
    ++framesSaved;
  } else {
    std::fprintf(stderr, "could not save %s\n", path.c_str());
    ++savesFailed;
  }
}

// Saves every frame handed over so far; called by main with reportMutex
// held through `lock`, which it releases around each save.
void SaveHandedOverFrames(std::unique_lock<std::mutex>& lock) {
  while (!framesToSave.empty()) {
    PendingFrame pending = std::move(framesToSave.front());
    framesToSave.pop_front();
    lock.unlock();
    Save(pending);
    lock.lock();
  }
}

// Reads the whole of `text` as a decimal number in [least, most]; anything
// else ("640px", "480.9", "") is named in a message and refused.
template <typename Number>
bool ParseNumber(const char* text, const char* name, Number least, Number most, Number* out) {
  const char* end = text + std::strlen(text);
  Number value{};
  const auto [stop, error] = std::from_chars(text, end, value);
  if (stop == text || stop != end || error != std::errc() || value < least || value > most) {
    std::fprintf(stderr, "bad %s '%s': expected a whole number from %lld to %lld\n", name, text,
                 static_cast<long long>(least), static_cast<long long>(most));
    return false;
  }
  *out = value;
  return true;
}

bool ParseSaving(char** argv) {
  constexpr int kMost = std::numeric_limits<int>::max();
  if (!ParseNumber(argv[0], "saveEvery", 1, kMost, &saving.saveEvery)) return false;
  const std::string format = argv[1];
  saving.prefix = argv[2];
  if (format != "bmp" && format != "jpg") {
    std::fprintf(stderr, "bad file format '%s': expected bmp or jpg\n", argv[1]);
    return false;
  }
  if (saving.prefix.empty()) {
    std::fprintf(stderr, "bad prefix: it is empty\n");
    return false;
  }
  if (format == "jpg" && run.depth == 4) {
    std::fprintf(stderr, "JPEG holds 1 or 3 bytes per pixel: saving 4-byte frames as BMP\n");
  } else if (format == "jpg") {
    saving.format = 2;
    saving.suffix = ".jpg";
  }
  return true;
}

// The library refuses what it cannot run (a depth other than 1, 3 or 4, an
// unknown instance type), so only what this host needs is checked here.
bool ParseArguments(int argc, char** argv) {
  if (argc == 1) return true;
  if (argc != 6 && argc != 9) return false;
  constexpr int kMost = std::numeric_limits<int>::max();
  return ParseNumber(argv[1], "width", 1, kMost, &run.width) &&
         ParseNumber(argv[2], "height", 1, kMost, &run.height) &&
         ParseNumber(argv[3], "depth", 1, kMost, &run.depth) &&
         ParseNumber(argv[4], "instanceType", 0u, std::numeric_limits<unsigned int>::max(),
                     &run.instanceType) &&
         ParseNumber(argv[5], "frames", 1, 1000000, &run.frames) &&
         (argc == 6 || ParseSaving(argv + 6));
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseArguments(argc, argv)) {
    std::fprintf(stderr,
                 "usage: %s [width height depth instanceType frames "
                 "[saveEvery bmp|jpg prefix]]\n",
                 argv[0]);
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

  {
    // Generous: the offers come at most 30 times a second, and each frame is
    // filled (and maybe copied) here, at no less than about 100 MB/s.
    const double frameBytes = static_cast<double>(run.width) * run.height * run.depth;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10 + run.frames / 5) +
        std::chrono::milliseconds(static_cast<long long>((run.frames + 4) * frameBytes / 100e3));
    std::unique_lock<std::mutex> lock(reportMutex);
    bool more = true;
    while (more) {
      const bool woken = reportsChanged.wait_until(
          lock, deadline, [] { return reports >= run.frames || !framesToSave.empty(); });
      SaveHandedOverFrames(lock);
      more = woken && reports < run.frames;
    }
  }

  API_State state;
  if (SIMGetAPIState(&state)) {
    std::printf("frame rate %d fps, latency %d ms\n", state.fps, state.latency_mS);
  }
  SIMStop();
  SIMRegisterReadyForNewInputCallback(nullptr);
  // No report arrives after SIMStop: the count read here is final, and both
  // the message and the exit status follow from it alone.
  int arrived;
  {
    std::unique_lock<std::mutex> lock(reportMutex);
    SaveHandedOverFrames(lock);
    arrived = reports;
  }
  bool ok = true;
  if (saving.saveEvery > 0) {
    std::printf("saved %d frames\n", framesSaved);
    ok = savesFailed == 0 && framesSaved > 0;
  }
  if (arrived < run.frames) {
    std::fprintf(stderr, "only %d of %d reports arrived\n", arrived, run.frames);
    ok = false;
  }
  return ok ? 0 : 1;
}
