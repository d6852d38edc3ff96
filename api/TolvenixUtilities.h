// Public interface of libTolvenixUtilities.so.
//
// The SIM functions drive a simulated target-detection engine: a host starts
// a run for a frame geometry, is offered frame buffers through its
// ready-for-new-input callback, hands filled frames back and receives target
// reports through its result callback. The UTIL_ functions report the
// library's version and load and save image files.
//
// Records crossing this boundary are packed; their sizes and offsets are
// fixed and checked below. Integers and doubles are little-endian, pointers
// 64 bits wide.
//
// Locking: every SIM function except the version query serialises on one
// process-wide lock. A result callback runs with that lock held, so it must
// not call any SIM function; the ready-for-new-input callback runs on the
// library's worker thread without the lock and may hand the frame back from
// inside, but must never call SIMStop. Records handed to callbacks are valid
// only during the call.
//
// Exceptions: only a failure to lock, to create the worker thread, or to
// allocate memory leaves a function as an exception (std::system_error,
// std::bad_alloc); every other failure is reported through the result.
#ifndef API_TOLVENIXUTILITIES_H_
#define API_TOLVENIXUTILITIES_H_

#include <cstddef>
#include <cstdint>

#define TOLVENIX_EXPORT __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Enumerations (all 32 bits wide)

// Analytic instance type of a run. Accepted by SIMStart: 0, 1, 2, 8, 9, 10
// (the values that are at most 2 once the bit of value 8 is cleared). 0 and 8
// form the land family. 255 is the library's marker for "no run active".
enum API_InstanceTypeEnum : uint32_t {
  API_INSTANCE_LAND = 0,
  API_INSTANCE_MARITIME = 1,
  API_INSTANCE_SAR = 2,
  API_INSTANCE_LAND_ALT = 8,
  API_INSTANCE_MARITIME_ALT = 9,
  API_INSTANCE_SAR_ALT = 10,
  API_INSTANCE_NONE = 255,
};
static_assert(sizeof(API_InstanceTypeEnum) == 4, "API_InstanceTypeEnum is ABI");

// Status of SIMGetNextFrameBuffer; 0 is the only value used.
enum APIGetNextFrameBufferStatusCode_Enum : uint32_t {
  API_GET_NEXT_FRAME_BUFFER_OK = 0,
};
static_assert(sizeof(APIGetNextFrameBufferStatusCode_Enum) == 4, "status is ABI");

// Status of SIMProcessNextFrame; 0 is the only value used.
enum APIProcessNextFrameStatusCode_Enum : uint32_t {
  API_PROCESS_NEXT_FRAME_OK = 0,
};
static_assert(sizeof(APIProcessNextFrameStatusCode_Enum) == 4, "status is ABI");

// Elevation-model geolocation method; stored and reported back as given.
enum API_GeoLocMethodEnum : uint32_t {
  API_GEOLOC_METHOD_NONE = 0,
  API_GEOLOC_METHOD_DEFAULT = 1,
};
static_assert(sizeof(API_GeoLocMethodEnum) == 4, "API_GeoLocMethodEnum is ABI");

// ---------------------------------------------------------------------------
// Result records

struct TARGET;
struct TargetPayloadBase;

// ---------------------------------------------------------------------------
// Callbacks

// Result callback of a TARGET-array run: (frame context, record count,
// records). Called on the thread that called SIMProcessNextFrame, with the
// simulator's lock held; the records are valid only during the call.
typedef void (*TargetCallback)(void* context, unsigned int count, TARGET* targets);
// Result callback of a payload run; the payload is a TargetPayloadLand valid
// only during the call. Same thread and lock as TargetCallback.
typedef void (*TargetPayloadCallback)(TargetPayloadBase* payload);
// Ready-for-new-input callback: the buffer to fill next. Called on the
// library's worker thread with no lock held.
typedef void (*ReadyForNewInputCallback)(unsigned char* buffer);

// ---------------------------------------------------------------------------
// Run lifecycle and frame buffers

// Starts a run whose reports arrive as TARGET arrays.
//   type      0, 1, 2, 8, 9 or 10
//   width     frame width in pixels, > 0
//   height    frame height in pixels, > 0
//   depth     bytes per pixel: 1, 3 or 4
//   callback  result callback (may be null: nothing is reported)
// width x height x depth must fit a positive 32-bit signed value. Returns
// false, changing nothing, when an argument is refused or a run is active.
// Throws std::bad_alloc or std::system_error (thread creation); the
// simulator is then left not started.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
                              TargetCallback callback);
// Starts a run whose reports arrive as payloads; as above. The two strings
// are accepted and ignored.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
                              TargetPayloadCallback callback, char* reserved1, char* reserved2);
// Starts a payload run for 1920 x 1080 frames of 1 byte per pixel; false
// when the type is refused or a run is active.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, TargetPayloadCallback callback,
                              char* reserved1, char* reserved2);
// Stops the worker, then returns the run's state to its stopped values and
// frees the frame buffers. Safe without a run and from several threads; never
// from a callback.
TOLVENIX_EXPORT void SIMStop();
// Registers (or, with null, clears) the ready-for-new-input callback. Only
// while no run is active; ignored during a run. Stays registered across
// SIMStop.
TOLVENIX_EXPORT void SIMRegisterReadyForNewInputCallback(ReadyForNewInputCallback callback);
// The buffer of the next frame (width x height x depth bytes, owned by the
// library until SIMStop), or null when no run is active.
TOLVENIX_EXPORT unsigned char* SIMGetNextFrameBuffer();
// As above; writes 0 to `status` unless it is null.
TOLVENIX_EXPORT unsigned char* SIMGetNextFrameBuffer(APIGetNextFrameBufferStatusCode_Enum* status);
// True when a run is active and `buffer` is the next frame buffer; changes
// nothing either way.
TOLVENIX_EXPORT bool SIMCancelFrameBuffer(unsigned char* buffer);
// Frames queued in the ring: 0 without a run, 5 right after SIMStart, then
// 1, 2, 3, 4 and 4 from then on.
TOLVENIX_EXPORT int SIMGetFrameLag();

#endif  // API_TOLVENIXUTILITIES_H_
