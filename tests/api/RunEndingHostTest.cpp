// A host that ends its process or unloads the library with a run active:
// each case starts a fresh host (RunEndingHost, PluginHost) and expects it
// to end as it meant to, neither hanging nor crashing. A sanitizer's report
// in the child changes its exit code, so it fails the case too.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

struct Ending {
  int exitCode = -1;  // -1: killed, died of a signal, or hung
  std::string output;
};

// Runs `program` with `args`, its standard output in a scratch file, for at
// most two minutes (a bound only a hang reaches).
Ending RunProgram(const std::string& program, const std::vector<std::string>& args) {
  const testsupport::TempDir dir("run-ending");
  const std::string outPath = dir.Path("out");
  const pid_t child = fork();
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(127);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Ending ending;
  ending.exitCode = testsupport::WaitForExit(child);
  std::ifstream in(outPath);
  ending.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return ending;
}

Ending RunHost(const char* scenario) { return RunProgram(RUN_ENDING_HOST, {scenario}); }

constexpr int kFromMain = 0;
constexpr int kFromCallback = 7;

// The host of `scenario` got as far as its end and exited with `code`,
// neither hanging nor crashing (nor reported by a sanitizer).
void ExpectEnds(const char* scenario, int code) {
  const Ending e = RunHost(scenario);
  EXPECT_EQ(e.exitCode, code) << scenario;
  EXPECT_EQ(e.output, "reached\n") << scenario;
}

TEST(RunEndsWithTheProcess, ReturnFromMainWhileTheHostHoldsItsFrame) {
  ExpectEnds("return-holding-frame", kFromMain);
}

TEST(RunEndsWithTheProcess, ReturnFromMainWithFramesFlowing) {
  ExpectEnds("return-frames-flowing", kFromMain);
}

// The worker itself ends the process: it cannot be joined, so what it uses
// must outlive the exit.
TEST(RunEndsWithTheProcess, ExitInsideEitherCallbackOnTheWorker) {
  for (const char* scenario : {"exit-in-ready-callback", "exit-in-result-callback-on-worker"}) {
    ExpectEnds(scenario, kFromCallback);
  }
}

// The exiting thread holds the simulator's lock, which the worker may be
// waiting for.
TEST(RunEndsWithTheProcess, ExitInsideTheResultCallbackOnAHostThread) {
  ExpectEnds("exit-in-result-callback-on-host-thread", kFromCallback);
}

// The worker never comes back from the host: the exit gives up waiting
// after a bounded time (seconds) and still ends cleanly.
TEST(RunEndsWithTheProcess, ReturnFromMainWhileTheReadyCallbackNeverReturns) {
  ExpectEnds("return-while-ready-callback-never-returns", kFromMain);
}

TEST(RunEndsWithTheLibrary, UnloadWithARunActiveThenLoadingAgainStartsClean) {
  const Ending e = RunProgram(PLUGIN_HOST, {TOLVENIX_LIBRARY});
  EXPECT_EQ(e.exitCode, 0);
  EXPECT_EQ(e.output, "reached\n");
}

}  // namespace
