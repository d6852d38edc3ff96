// The run lifecycle as a host sees it, alone and with host threads racing:
// only the public header and the shared library.
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "TolvenixUtilities.h"

namespace {

using simtest::CountOffer;
using simtest::NoPayload;
using simtest::NoTargets;
using simtest::Offers;
using simtest::Type;
using SimLifecycle = simtest::SimTest;

double MillisecondsBetween(simtest::Clock::time_point a, simtest::Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

TEST_F(SimLifecycle, StartValidatesTypeDepthAndGeometry) {
  for (uint32_t t : {3u, 4u, 5u, 6u, 7u, 11u, 12u, 255u, 0x80000000u}) {
    EXPECT_FALSE(SIMStart(Type(t), 64, 48, 1, &NoTargets) ||
                 SIMStart(Type(t), 64, 48, 1, &NoPayload, nullptr, nullptr) ||
                 SIMStart(Type(t), &NoPayload, nullptr, nullptr))
        << t;
  }
  // Width, height, depth; 65536 x 32768 x 1 is one past the largest frame.
  const int kGeometries[][3] = {{64, 48, 0}, {64, 48, 2},  {64, 48, 5},       {64, 48, -1},
                                {0, 48, 1},  {64, -48, 1}, {65536, 32768, 1}, {65536, 16384, 3}};
  for (const auto& g : kGeometries) {
    EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, g[0], g[1], g[2], &NoTargets) ||
                 SIMStart(API_INSTANCE_LAND, g[0], g[1], g[2], &NoPayload, nullptr, nullptr));
  }
  // Refused starts leave no run: no lag, no buffer, nothing to cancel.
  EXPECT_EQ(SIMGetFrameLag(), 0);
  auto status = static_cast<APIGetNextFrameBufferStatusCode_Enum>(77);
  EXPECT_EQ(SIMGetNextFrameBuffer(&status), nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(SIMGetNextFrameBuffer(nullptr), nullptr);  // a null status is skipped
  unsigned char byte = 0;
  EXPECT_FALSE(SIMCancelFrameBuffer(&byte));
  for (int depth : {1, 3, 4}) {
    EXPECT_TRUE(SIMStart(API_INSTANCE_LAND, 7, 5, depth, &NoTargets)) << depth;
    SIMStop();
  }
}

TEST_F(SimLifecycle, TheFirstOfferComesNoSoonerThanOnePeriod) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  const auto start = simtest::Clock::now();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 3, &NoTargets));
  ASSERT_TRUE(Offers().WaitFor(1));
  // One period at the load-time cap of 30 is 33.3 ms, less truncation.
  const simtest::Offer first = Offers().Take()[0];
  EXPECT_GE(MillisecondsBetween(start, first.time), 31.0);
  EXPECT_EQ(first.buffer, SIMGetNextFrameBuffer());
}

void IgnoredOffer(unsigned char*) { ADD_FAILURE() << "a registration during a run took"; }

// The overload without geometry offers full-HD frames. Offers keep coming to
// the callback registered before the run.
TEST_F(SimLifecycle, ARegistrationOrASecondStartDuringARunIsIgnored) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_MARITIME_ALT, &NoPayload, nullptr, nullptr));
  API_State state{};
  ASSERT_TRUE(SIMGetAPIState(&state));
  EXPECT_EQ(static_cast<int>(state.width), 1920);  // packed: read by value
  EXPECT_EQ(static_cast<int>(state.height), 1080);
  EXPECT_EQ(static_cast<int>(state.depth), 1);
  ASSERT_TRUE(Offers().WaitFor(1));
  unsigned char* buffer = SIMGetNextFrameBuffer();
  std::memset(buffer, 1, 1920 * 1080);  // the host's to fill: ASan checks the bounds
  SIMRegisterReadyForNewInputCallback(nullptr);
  SIMRegisterReadyForNewInputCallback(&IgnoredOffer);
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 128, 96, 3, &NoTargets) ||
               SIMStart(API_INSTANCE_LAND, &NoPayload, nullptr, nullptr));
  EXPECT_EQ(SIMGetNextFrameBuffer(), buffer);
  EXPECT_EQ(SIMGetFrameLag(), 5);
  SIMProcessNextFrame(nullptr);
  EXPECT_TRUE(Offers().WaitFor(2));
}

// The registration is kept across SIMStop: every cycle gets its first offer.
// Four threads stop each run at once: the worker is joined and freed once.
TEST_F(SimLifecycle, ManyStartStopCyclesEachGetTheirFirstOffer) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoPayload, nullptr, nullptr)) << i;
    ASSERT_TRUE(Offers().WaitFor(1)) << i;
    std::vector<std::thread> stoppers;
    for (int k = 0; k < 4; ++k) stoppers.emplace_back([] { SIMStop(); });
    for (auto& t : stoppers) t.join();
    EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr) << i;
    EXPECT_EQ(SIMGetFrameLag(), 0) << i;
    Offers().Take();
  }
}

// Throws a standard exception from the first offer, an int from the second.
void ThrowFromEarlyOffers(unsigned char* buffer) {
  CountOffer(buffer);
  const size_t n = Offers().Size();
  if (n == 1) throw std::runtime_error("host failed to fill the frame");
  if (n == 2) throw 42;
}

TEST_F(SimLifecycle, TheWorkerSurvivesExceptionsFromTheReadyCallback) {
  SIMRegisterReadyForNewInputCallback(&ThrowFromEarlyOffers);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoPayload, nullptr, nullptr));
  for (size_t n = 1; n <= 3; ++n) {
    ASSERT_TRUE(Offers().WaitFor(n));
    SIMProcessNextFrame(nullptr);  // wakes the worker for one more offer
  }
  EXPECT_EQ(SIMGetAPIStatus(), 0);
}

// Hands each frame straight back, so that only the cap paces the offers.
void CountAndHandBack(unsigned char* buffer) {
  CountOffer(buffer);
  SIMProcessNextFrame(nullptr);
}

// Expects every gap between the offers after `first` to span a 100 ms period.
void ExpectTenPerSecondAfter(size_t first) {
  const std::vector<simtest::Offer> offers = Offers().Take();
  for (size_t i = first + 1; i < offers.size(); ++i) {
    EXPECT_GE(MillisecondsBetween(offers[i - 1].time, offers[i].time), 90.0) << i;
  }
}

TEST_F(SimLifecycle, AnAcceptedCapPacesTheOffersAndOutlivesTheRun) {
  SIMRegisterReadyForNewInputCallback(&CountAndHandBack);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoTargets));
  ASSERT_TRUE(SIMSetFpsCap(10));
  // The offer under way may still use the old period; the next ones may not.
  const size_t first = Offers().Size() + 1;
  ASSERT_TRUE(Offers().WaitFor(first + 3));
  SIMStop();
  ExpectTenPerSecondAfter(first);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoPayload, nullptr, nullptr));
  ASSERT_TRUE(Offers().WaitFor(4));
  ExpectTenPerSecondAfter(0);
  EXPECT_TRUE(SIMSetFpsCap(30));
}

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kRuns = 12;
constexpr size_t kReportsPerRun = 3;

simtest::SharedList<size_t> reports;  // per report: the first id, or trail points

void FillAndHandBack(unsigned char* buffer) {
  if (buffer != nullptr) std::memset(buffer, 0x5A, kWidth * kHeight);
  simtest::CountOffer(buffer);
  SIMProcessNextFrame(buffer);
}

// Result callbacks run under the simulator's lock: they read and count.
void CountTargets(void*, unsigned int count, TARGET* targets) {
  reports.Add(count > 0 ? targets[0].id : 0);
}

// Reads the trails, which the frame thread rebuilds under the same lock.
void CountTrailPoints(TargetPayloadBase* base) {
  const auto* payload = static_cast<const TargetPayloadLand*>(base);
  size_t points = 0;
  for (unsigned long i = 0; i < payload->breadcrumbs.size(); ++i) {
    points += payload->breadcrumbs[i].xs.size();
  }
  reports.Add(points);
}

void CallSettersAndQueries(const std::atomic<bool>& done) {
  std::vector<unsigned char> overlay(kWidth * kHeight, 0);
  API_State state;
  API_RemoteStatus remote;
  unsigned int major, minor, sub;
  for (int i = 0; !done.load(); ++i) {
    SIMSetFpsCap(30);
    SIMSetMGRSPrecision(i % 12 - 5);
    SIMSetSensitivity(static_cast<API_TypeEnum>(i % 4), i);
    SIMSetDesiredBreadcrumbTrailLength(i % 4);
    SIMSetAutoBorder(i % 2 == 0);
    SIMConfigureStabilizationTransform(i % 21);
    SIMSetupHorizon(true, 1, 2, 3, 4);
    SIMSetTargetPositionPrediction(i);
    SIMSetDEM(nullptr, i, API_GEOLOC_METHOD_DEFAULT);
    SIMUpdateMetadata(0, nullptr);
    i % 3 == 0   ? SIMSetOverlay(overlay.data())
    : i % 3 == 1 ? SIMSetBorderMask(1, 1, kWidth / 2, kHeight / 2)
                 : SIMClearBorderMaskAndOverlay();
    SIMGetAPIState(&state);
    SIMGetRemoteStatus(&remote);
    SIMGetMaxSensitivity(API_TYPE_LAND);
    SIMGetAPIStatus();
    SIMGetAvgConfidenceLevel();
    SIMGetFrameLag();
    SIMGetNextFrameBuffer();
    SIMGetAPIVersion(&major, &minor, &sub, nullptr, nullptr, nullptr);
    UTIL_GetDLLVersion(&major, &minor, &sub);
    std::this_thread::yield();
  }
}

// The worker drives frames from the ready callback, one thread calls setters
// and queries, this one starts and stops runs: under the sanitizers a race, a
// leak or a deadlock fails it.
TEST_F(SimLifecycle, FramesSettingsAndRestartsRunTogether) {
  SIMRegisterReadyForNewInputCallback(&FillAndHandBack);
  std::atomic<bool> done{false};
  std::thread settings(CallSettersAndQueries, std::cref(done));
  int completedRuns = 0;
  for (int run = 0; run < kRuns; ++run) {
    const size_t before = reports.Size();
    const API_InstanceTypeEnum type = run % 2 == 0 ? API_INSTANCE_LAND : API_INSTANCE_MARITIME_ALT;
    const bool started =
        run % 3 == 0 ? SIMStart(type, kWidth, kHeight, 1, &CountTargets)
                     : SIMStart(type, kWidth, kHeight, 1, &CountTrailPoints, nullptr, nullptr);
    if (!started) break;
    const bool reported = reports.WaitFor(before + kReportsPerRun);
    SIMStop();
    if (!reported) break;
    ++completedRuns;
  }
  done.store(true);
  settings.join();
  SIMStop();
  EXPECT_EQ(completedRuns, kRuns);
  EXPECT_GE(simtest::Offers().Size(), kRuns * (4 + kReportsPerRun));
  EXPECT_EQ(SIMGetAPIStatus(), 9);
  SIMSetTargetPositionPrediction(0);
}

}  // namespace
