// The run lifecycle as a host sees it: only the public header and the shared
// library.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

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
    EXPECT_FALSE(SIMStart(Type(t), 64, 48, 1, &NoTargets)) << t;
    EXPECT_FALSE(SIMStart(Type(t), 64, 48, 1, &NoPayload, nullptr, nullptr)) << t;
    EXPECT_FALSE(SIMStart(Type(t), &NoPayload, nullptr, nullptr)) << t;
  }
  // Width, height, depth; 65536 x 32768 x 1 is 2^31 bytes: one past the
  // largest frame.
  const int kGeometries[][3] = {{64, 48, 0}, {64, 48, 2},  {64, 48, 5},       {64, 48, -1},
                                {0, 48, 1},  {64, -48, 1}, {65536, 32768, 1}, {65536, 16384, 3}};
  for (const auto& g : kGeometries) {
    EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, g[0], g[1], g[2], &NoTargets));
    EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, g[0], g[1], g[2], &NoPayload, nullptr, nullptr));
  }
  // Refused starts leave no run: no lag, no buffer, nothing to cancel.
  EXPECT_EQ(SIMGetFrameLag(), 0);
  auto status = static_cast<APIGetNextFrameBufferStatusCode_Enum>(77);
  EXPECT_EQ(SIMGetNextFrameBuffer(&status), nullptr);
  EXPECT_EQ(status, 0u);
  unsigned char byte = 0;
  EXPECT_FALSE(SIMCancelFrameBuffer(&byte));
  for (uint32_t t : {0u, 1u, 2u, 8u, 9u, 10u}) {
    for (int depth : {1, 3, 4}) {
      EXPECT_TRUE(SIMStart(Type(t), 7, 5, depth, &NoTargets)) << t << " " << depth;
      SIMStop();
    }
  }
}

TEST_F(SimLifecycle, TheOverloadWithoutGeometryOffersFullHdFrames) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_MARITIME_ALT, &NoPayload, nullptr, nullptr));
  API_State state{};
  ASSERT_TRUE(SIMGetAPIState(&state));
  EXPECT_EQ(static_cast<int>(state.width), 1920);  // packed: read by value
  EXPECT_EQ(static_cast<int>(state.height), 1080);
  EXPECT_EQ(static_cast<int>(state.depth), 1);
  ASSERT_TRUE(Offers().WaitFor(1));
  // The whole frame is the host's to fill (ASan checks the bounds).
  std::memset(Offers().Copy()[0].buffer, 1, 1920 * 1080);
}

TEST_F(SimLifecycle, TheFirstOfferComesNoSoonerThanOnePeriod) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  const auto start = simtest::Clock::now();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 3, &NoTargets));
  ASSERT_TRUE(Offers().WaitFor(1));
  // One period at the load-time cap of 30 is 33.3 ms, less up to a
  // millisecond of truncation.
  const simtest::Offer first = Offers().Copy()[0];
  EXPECT_GE(MillisecondsBetween(start, first.time), 31.0);
  EXPECT_EQ(first.buffer, SIMGetNextFrameBuffer());
}

void IgnoredOffer(unsigned char*) { ADD_FAILURE() << "a registration during a run took"; }

// Offers keep coming to the callback registered before the run.
TEST_F(SimLifecycle, ARegistrationOrASecondStartDuringARunIsIgnored) {
  SIMRegisterReadyForNewInputCallback(&CountOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &NoPayload, nullptr, nullptr));
  ASSERT_TRUE(Offers().WaitFor(1));
  SIMRegisterReadyForNewInputCallback(nullptr);
  SIMRegisterReadyForNewInputCallback(&IgnoredOffer);
  unsigned char* buffer = SIMGetNextFrameBuffer();
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 128, 96, 3, &NoTargets));
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, &NoPayload, nullptr, nullptr));
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
    // Payload runs offer at once, so the cycles stay quick.
    ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoPayload, nullptr, nullptr)) << i;
    ASSERT_TRUE(Offers().WaitFor(1)) << i;
    std::vector<std::thread> stoppers;
    for (int k = 0; k < 4; ++k) stoppers.emplace_back([] { SIMStop(); });
    for (auto& t : stoppers) t.join();
    EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr);
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
  const std::vector<simtest::Offer> offers = Offers().Copy();
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
  ExpectTenPerSecondAfter(first);
  SIMStop();

  Offers().Take();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &NoPayload, nullptr, nullptr));
  ASSERT_TRUE(Offers().WaitFor(4));
  ExpectTenPerSecondAfter(0);
  EXPECT_TRUE(SIMSetFpsCap(30));
}

}  // namespace
