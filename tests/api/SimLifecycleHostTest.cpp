// The run lifecycle as a host sees it: only the public header and the shared
// library.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TolvenixUtilities.h"

namespace {

using Clock = std::chrono::steady_clock;

// Records the ready-for-new-input offers.
struct OfferLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<unsigned char*> buffers;
  std::vector<Clock::time_point> times;

  void Add(unsigned char* buffer) {
    std::lock_guard<std::mutex> lock(mutex);
    buffers.push_back(buffer);
    times.push_back(Clock::now());
    changed.notify_all();
  }
  // Waits (generously) for at least `n` offers.
  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return buffers.size() >= n; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return buffers.size();
  }
  std::vector<Clock::time_point> Times() {
    std::lock_guard<std::mutex> lock(mutex);
    return times;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    buffers.clear();
    times.clear();
  }
};

OfferLog offers;
void RecordOffer(unsigned char* buffer) { offers.Add(buffer); }

void OnTargets(void*, unsigned int, TARGET*) {}
void OnPayload(TargetPayloadBase*) {}

class SimLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    SIMStop();
    SIMRegisterReadyForNewInputCallback(nullptr);
    offers.Clear();
  }
  void TearDown() override {
    SIMStop();
    SIMRegisterReadyForNewInputCallback(nullptr);
  }
};

TEST_F(SimLifecycle, FrameLagIsZeroWithoutARunAndFiveAfterStart) {
  EXPECT_EQ(SIMGetFrameLag(), 0);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  EXPECT_EQ(SIMGetFrameLag(), 5);
  SIMStop();
  EXPECT_EQ(SIMGetFrameLag(), 0);
}

TEST_F(SimLifecycle, TypesOutsideTheAcceptedSetAreRefused) {
  for (uint32_t t : {3u, 4u, 5u, 6u, 7u, 11u, 12u, 255u, 0x80000000u}) {
    const auto type = static_cast<API_InstanceTypeEnum>(t);
    EXPECT_FALSE(SIMStart(type, 64, 48, 1, &OnTargets)) << t;
    EXPECT_FALSE(SIMStart(type, 64, 48, 1, &OnPayload, nullptr, nullptr)) << t;
    EXPECT_FALSE(SIMStart(type, &OnPayload, nullptr, nullptr)) << t;
    EXPECT_EQ(SIMGetFrameLag(), 0);
  }
  for (uint32_t t : {0u, 1u, 2u, 8u, 9u, 10u}) {
    EXPECT_TRUE(SIMStart(static_cast<API_InstanceTypeEnum>(t), 64, 48, 1, &OnTargets)) << t;
    SIMStop();
  }
}

TEST_F(SimLifecycle, DepthAndGeometryAreValidated) {
  for (int depth : {0, 2, 5, -1}) {
    EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 64, 48, depth, &OnTargets)) << depth;
    EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 64, 48, depth, &OnPayload, nullptr, nullptr));
  }
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 0, 48, 1, &OnTargets));
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 64, -48, 1, &OnTargets));
  // 65536 x 32768 x 1 = 2^31 bytes: one past the largest frame.
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 65536, 32768, 1, &OnTargets));
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 65536, 16384, 3, &OnPayload, nullptr, nullptr));
  EXPECT_EQ(SIMGetFrameLag(), 0);
  EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr);
  for (int depth : {1, 3, 4}) {
    EXPECT_TRUE(SIMStart(API_INSTANCE_LAND, 7, 5, depth, &OnTargets)) << depth;
    SIMStop();
  }
}

TEST_F(SimLifecycle, OverloadWithoutGeometryMakesFullHdFrames) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_MARITIME_ALT, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(offers.WaitFor(1));
  unsigned char* buffer = offers.buffers[0];
  ASSERT_NE(buffer, nullptr);
  // The whole 1920 x 1080 x 1 frame is ours to fill (ASan checks the bounds).
  for (size_t i = 0; i < 1920u * 1080u; i += 4096) buffer[i] = 1;
  buffer[1920u * 1080u - 1] = 1;
}

TEST_F(SimLifecycle, NoBuffersWithoutARun) {
  EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr);
  auto status = static_cast<APIGetNextFrameBufferStatusCode_Enum>(77);
  EXPECT_EQ(SIMGetNextFrameBuffer(&status), nullptr);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(SIMGetNextFrameBuffer(nullptr), nullptr);
  unsigned char byte = 0;
  EXPECT_FALSE(SIMCancelFrameBuffer(&byte));
}

TEST_F(SimLifecycle, FirstOfferComesNoSoonerThanOnePeriod) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  const auto start = Clock::now();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 3, &OnTargets));
  ASSERT_TRUE(offers.WaitFor(1));
  // One period at the load-time cap of 30 is 33.3 ms, less up to a
  // millisecond of truncation.
  const double firstOfferMs =
      std::chrono::duration<double, std::milli>(offers.times[0] - start).count();
  EXPECT_GE(firstOfferMs, 31.0);
  EXPECT_EQ(offers.buffers[0], SIMGetNextFrameBuffer());
}

TEST_F(SimLifecycle, NoOfferWithoutACallback) {
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  // Register a callback now: ignored during a run.
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(offers.Count(), 0u);
  // The host can still take the buffer itself.
  EXPECT_NE(SIMGetNextFrameBuffer(), nullptr);
  SIMStop();
  // The ignored registration left nothing behind.
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(offers.Count(), 0u);
}

TEST_F(SimLifecycle, RegistrationSurvivesStop) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  ASSERT_TRUE(offers.WaitFor(1));
  SIMStop();
  offers.Clear();
  ASSERT_TRUE(SIMStart(API_INSTANCE_SAR, 32, 16, 4, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(offers.WaitFor(1));
}

TEST_F(SimLifecycle, CancelAnswersOnlyForTheNextBuffer) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  ASSERT_TRUE(offers.WaitFor(1));
  unsigned char* offered = offers.buffers[0];
  EXPECT_FALSE(SIMCancelFrameBuffer(nullptr));
  EXPECT_FALSE(SIMCancelFrameBuffer(offered + 1));
  EXPECT_TRUE(SIMCancelFrameBuffer(offered));
  EXPECT_EQ(SIMGetNextFrameBuffer(), offered);
  // Cancelling wakes nobody: no second offer follows.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(offers.Count(), 1u);
}

TEST_F(SimLifecycle, SecondStartDuringARunIsRefused) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 64, 48, 1, &OnTargets));
  unsigned char* buffer = SIMGetNextFrameBuffer();
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, 128, 96, 3, &OnTargets));
  EXPECT_FALSE(SIMStart(API_INSTANCE_LAND, &OnPayload, nullptr, nullptr));
  EXPECT_EQ(SIMGetNextFrameBuffer(), buffer);
  EXPECT_EQ(SIMGetFrameLag(), 5);
}

TEST_F(SimLifecycle, StopWithoutARunIsHarmless) {
  SIMStop();
  SIMStop();
  EXPECT_EQ(SIMGetFrameLag(), 0);
}

TEST_F(SimLifecycle, ManyStartStopCyclesEachGetTheirFirstOffer) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  for (int i = 0; i < 200; ++i) {
    offers.Clear();
    // Payload runs offer at once, so the cycles stay quick.
    ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &OnPayload, nullptr, nullptr)) << i;
    ASSERT_TRUE(offers.WaitFor(1)) << i;
    SIMStop();
  }
}

TEST_F(SimLifecycle, ConcurrentStopsAreSafe) {
  SIMRegisterReadyForNewInputCallback(&RecordOffer);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &OnPayload, nullptr, nullptr));
    std::vector<std::thread> stoppers;
    for (int k = 0; k < 4; ++k) stoppers.emplace_back([] { SIMStop(); });
    for (auto& t : stoppers) t.join();
    EXPECT_EQ(SIMGetFrameLag(), 0);
    EXPECT_EQ(SIMGetNextFrameBuffer(), nullptr);
  }
}

// Throws from the first two offers, a standard exception and then another.
void ThrowFromEarlyOffers(unsigned char* buffer) {
  offers.Add(buffer);
  const size_t n = offers.Count();
  if (n == 1) throw std::runtime_error("host failed to fill the frame");
  if (n == 2) throw 42;
}

TEST_F(SimLifecycle, TheWorkerSurvivesExceptionsFromTheReadyCallback) {
  SIMRegisterReadyForNewInputCallback(&ThrowFromEarlyOffers);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(offers.WaitFor(1));
  // Each hand-back wakes the worker for one more offer.
  SIMProcessNextFrame(nullptr);
  ASSERT_TRUE(offers.WaitFor(2));
  SIMProcessNextFrame(nullptr);
  ASSERT_TRUE(offers.WaitFor(3));
  EXPECT_EQ(SIMGetAPIStatus(), 0);
}

// Records each offer and hands the frame straight back, so that only the
// cap paces the offers.
void RecordAndHandBack(unsigned char* buffer) {
  offers.Add(buffer);
  SIMProcessNextFrame(nullptr);
}

// The gaps between the offers after `first`, in milliseconds.
std::vector<double> GapsAfter(size_t first) {
  const std::vector<Clock::time_point> times = offers.Times();
  std::vector<double> gaps;
  for (size_t i = first + 1; i < times.size(); ++i) {
    gaps.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
  }
  return gaps;
}

TEST_F(SimLifecycle, AnAcceptedCapPacesTheOffersAndOutlivesTheRun) {
  SIMRegisterReadyForNewInputCallback(&RecordAndHandBack);
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &OnTargets));
  ASSERT_TRUE(SIMSetFpsCap(10));
  // The offer under way may still use the old period; the next ones may not.
  const size_t first = offers.Count() + 1;
  ASSERT_TRUE(offers.WaitFor(first + 3));
  for (double gap : GapsAfter(first)) EXPECT_GE(gap, 90.0);  // 100 ms period
  SIMStop();

  offers.Clear();
  ASSERT_TRUE(SIMStart(API_INSTANCE_LAND, 32, 24, 1, &OnPayload, nullptr, nullptr));
  ASSERT_TRUE(offers.WaitFor(4));
  for (double gap : GapsAfter(0)) EXPECT_GE(gap, 90.0) << "the cap was kept";
  EXPECT_TRUE(SIMSetFpsCap(30));
}

}  // namespace
