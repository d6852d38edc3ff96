// A host that loads the library as a plugin, with dlopen, and unloads it
// with dlclose while a run is active, then loads it again:
//   1. load, start, frames flowing, unload;
//   2. load, start, the host holding its frame, unload;
//   3. load, start, frames flowing, SIMStop, unload.
// Each load must find the simulator stopped and the unload must really
// unmap the library. Prints "reached" after the last unload and exits 0;
// 1 with a message when a step fails. Arguments: the library's path.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "TolvenixUtilities.h"

namespace {

using StartFn = bool (*)(API_InstanceTypeEnum, int, int, int, TargetCallback);
using StopFn = void (*)();
using RegisterFn = void (*)(ReadyForNewInputCallback);
using ProcessFn = void (*)(void*);
using StatusFn = int (*)();

// The exports of the library as loaded now.
struct Plugin {
  void* handle = nullptr;
  StartFn start = nullptr;
  StopFn stop = nullptr;
  RegisterFn registerReady = nullptr;
  ProcessFn process = nullptr;
  StatusFn status = nullptr;
  StatusFn frameLag = nullptr;
};

Plugin plugin;
std::atomic<int> offers{0};
std::atomic<int> reports{0};

bool Fail(const char* what) {
  std::fprintf(stderr, "plugin host: %s\n", what);
  return false;
}

template <typename Fn>
bool Resolve(Fn& fn, const char* mangledName) {
  fn = reinterpret_cast<Fn>(dlsym(plugin.handle, mangledName));
  return fn != nullptr;
}

bool Load(const char* path) {
  plugin.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (plugin.handle == nullptr) return Fail(dlerror());
  if (!Resolve(plugin.start, "_Z8SIMStart20API_InstanceTypeEnumiiiPFvPvjP6TARGETE") ||
      !Resolve(plugin.stop, "_Z7SIMStopv") ||
      !Resolve(plugin.registerReady, "_Z35SIMRegisterReadyForNewInputCallbackPFvPhE") ||
      !Resolve(plugin.process, "_Z19SIMProcessNextFramePv") ||
      !Resolve(plugin.status, "_Z15SIMGetAPIStatusv") ||
      !Resolve(plugin.frameLag, "_Z14SIMGetFrameLagv")) {
    return Fail("an export is missing");
  }
  // A fresh load knows nothing of an earlier one's run.
  if (plugin.status() != 9 || plugin.frameLag() != 0) return Fail("loaded with a run active");
  return true;
}

bool Unload(const char* path) {
  if (dlclose(plugin.handle) != 0) return Fail(dlerror());
  plugin = Plugin{};
  void* still = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (still != nullptr) {
    dlclose(still);
    return Fail("the library stayed loaded");
  }
  return true;
}

void HoldFrame(unsigned char*) { ++offers; }
void HandBack(unsigned char*) { plugin.process(nullptr); }
void Count(void*, unsigned int, TARGET*) { ++reports; }

template <typename Done>
bool WaitUntil(Done done) {
  for (int i = 0; i < 60000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

bool Cycle(const char* path, bool holdFrame, bool stopFirst) {
  offers = 0;
  reports = 0;
  if (!Load(path)) return false;
  plugin.registerReady(holdFrame ? &HoldFrame : &HandBack);
  if (!plugin.start(API_INSTANCE_LAND, 64, 48, 1, &Count)) return Fail("start refused");
  const bool ran =
      holdFrame ? WaitUntil([] { return offers > 0; }) : WaitUntil([] { return reports >= 10; });
  if (!ran) return Fail("no frames flowed");
  // Time for the worker to wait again, or to be back in an offer.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (stopFirst) plugin.stop();
  return Unload(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s library\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  if (!Cycle(path, false, false) || !Cycle(path, true, false) || !Cycle(path, false, true)) {
    return 1;
  }
  std::printf("reached\n");
  return 0;
}
