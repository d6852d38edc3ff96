// The simulator's overlay mask, shared by the settings that write it and the
// frame processing that reads it.
#ifndef API_SIMOVERLAY_H_
#define API_SIMOVERLAY_H_

#include "imaging/UserDataImageBuffer.h"

// One byte per pixel of the run that set it, row 0 at the bottom; a 0 byte
// at a target's box centre admits the target. Written by SIMSetOverlay, read
// by SIMProcessNextFrame, both with simMutex held. Kept across runs; empty
// (no storage) at load and after a failed copy.
extern KVO::UserDataGenericBuffer<unsigned char> simOverlay;

#endif  // API_SIMOVERLAY_H_
