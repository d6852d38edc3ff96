// The worker of a simulated run, started by SIMStart and joined by SIMStop
// (both in SimLifecycle.cpp).
#ifndef API_SIMLIFECYCLE_H_
#define API_SIMLIFECYCLE_H_

#include <cstdint>

#include "runtime/Thread.h"

// Offers the next frame buffer to the host's ready-for-new-input callback
// each time inputCallbackWaitHandle wakes it, no faster than simFPSCap
// allows. The callback runs on this thread without simMutex held; exceptions
// from it are caught per offer and reported on standard error.
class SimInputPayloadThread : public KVO::Thread {
 public:
  SimInputPayloadThread();
  // Stops, wakes and joins a running worker before any part of the object
  // goes, whatever the compiler. Not on the worker's own thread.
  ~SimInputPayloadThread() override;

 protected:
  int ThreadMain() override;
};

// Whole milliseconds the worker sleeps before an offer: what remains of
// `periodMs` after the previous offer at `lastOfferMs`, the clock reading
// `nowMs` (both GetTime_mS()), truncated toward zero. 0 when the period has
// passed or is 1000 ms or more. A clock set back behind `lastOfferMs` counts
// as no time passed, so the wait never exceeds one period.
int64_t SimOfferWaitMs(double periodMs, double nowMs, double lastOfferMs);

#endif  // API_SIMLIFECYCLE_H_
