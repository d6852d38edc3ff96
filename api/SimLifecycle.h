// The worker of a simulated run, started by SIMStart and joined by SIMStop
// (both in SimLifecycle.cpp).
#ifndef API_SIMLIFECYCLE_H_
#define API_SIMLIFECYCLE_H_

#include "runtime/Thread.h"

// Offers the next frame buffer to the host's ready-for-new-input callback
// each time inputCallbackWaitHandle wakes it, no faster than simFPSCap
// allows. The callback runs on this thread without simMutex held; exceptions
// from it are caught per offer and reported on standard error.
class SimInputPayloadThread : public KVO::Thread {
 public:
  SimInputPayloadThread();
  ~SimInputPayloadThread() override;

 protected:
  int ThreadMain() override;
};

#endif  // API_SIMLIFECYCLE_H_
