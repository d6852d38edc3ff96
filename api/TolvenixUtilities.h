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
// inside; a SIMStop called there does nothing (it cannot join the thread it
// runs on). Records handed to callbacks are valid only during the call.
//
// Exceptions: only a failure to lock, to create the worker thread, or to
// allocate memory leaves a function as an exception (std::system_error,
// std::bad_alloc); every other failure is reported through the result.
#ifndef API_TOLVENIXUTILITIES_H_
#define API_TOLVENIXUTILITIES_H_

#include <cstddef>
#include <cstdint>

#include "TolvenixVersion.h"

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

// Sensitivity kind: 0 land, 1 maritime, 2 SAR. Functions taking it accept
// any other value and treat it as selecting nothing.
enum API_TypeEnum : uint32_t {
  API_TYPE_LAND = 0,
  API_TYPE_MARITIME = 1,
  API_TYPE_SAR = 2,
};
static_assert(sizeof(API_TypeEnum) == 4, "API_TypeEnum is ABI");

// ---------------------------------------------------------------------------
// Result container

namespace KVO {

// A point, x then y.
template <typename T>
struct Point2D {
  T x;
  T y;
};

// Packed to 4 bytes so that a vector may sit at a 4-byte offset of a record
// (as in LandPayload_Breadcrumb) with its own alignment still honoured.
#pragma pack(push, 4)

// The read-only interface of a KVO::Vector, through which hosts read the
// lists of the payload records. Holds no data.
template <typename T>
class VectorReadOnly {
 public:
  // Element `index`; no bounds check: index < size().
  virtual const T& operator[](unsigned long index) const = 0;
  // The same as operator[], also unchecked.
  virtual const T& at(unsigned long index) const = 0;
  // Number of elements in use.
  virtual unsigned long size() const = 0;

 protected:
  VectorReadOnly() = default;
  VectorReadOnly(const VectorReadOnly&) = default;
  VectorReadOnly& operator=(const VectorReadOnly&) = default;
  ~VectorReadOnly() = default;
};

// Growable array carried by the payload records: 32 bytes, the table pointer
// then `data`, `count` and `capacity`.
//
// Owns `data`, an array of `capacity` elements (null when `capacity` is 0);
// elements from `count` on are default-constructed. Copies are deep. One
// thread at a time. Allocation failure propagates as std::bad_alloc
// (std::bad_array_new_length beyond what an array of T can hold); the vector
// is then unchanged.
template <typename T>
class Vector : private VectorReadOnly<T> {
 public:
  Vector() = default;
  Vector(const Vector& other) { CopyFrom(other); }
  Vector& operator=(const Vector& other) {
    if (this != &other) {
      // Field by field, by value: the fields may sit at 4-byte offsets, where
      // std::swap's references would be misaligned.
      Vector copy(other);
      T* const oldData = data;
      data = copy.data;
      copy.data = oldData;
      count = copy.count;
      capacity = copy.capacity;
    }
    return *this;
  }
  ~Vector() { delete[] data; }

  const T& operator[](unsigned long index) const override { return data[index]; }
  const T& at(unsigned long index) const override { return data[index]; }
  unsigned long size() const override { return count; }

  // Appends a copy of `value`, which may be an element of this vector. A
  // full vector first grows to count + 1 + count / 2 elements.
  void push_back(const T& value) {
    if (count < capacity) {
      data[count] = value;
    } else {
      const uint64_t grown = count + 1 + count / 2;
      T* larger = new T[grown];
      try {
        for (uint64_t i = 0; i < count; ++i) larger[i] = data[i];
        // Copied before the old array goes: `value` may live in it.
        larger[count] = value;
      } catch (...) {
        delete[] larger;
        throw;
      }
      delete[] data;
      data = larger;
      capacity = grown;
    }
    ++count;
  }

  // Reallocates to max(n, size()) elements, keeping the elements in use;
  // nothing happens when that is already the capacity.
  void set_capacity(unsigned long n) {
    const uint64_t wanted = n > count ? n : count;
    if (wanted == capacity) return;
    T* resized = wanted == 0 ? nullptr : new T[wanted];
    try {
      for (uint64_t i = 0; i < count; ++i) resized[i] = data[i];
    } catch (...) {
      delete[] resized;
      throw;
    }
    delete[] data;
    data = resized;
    capacity = wanted;
  }

  // The record's fields; hosts read them only through size(), operator[]
  // and at().
  T* data = nullptr;
  uint64_t count = 0;
  uint64_t capacity = 0;

 private:
  void CopyFrom(const Vector& other) {
    if (other.data == nullptr || other.capacity == 0) return;
    T* copied = new T[other.capacity];
    try {
      for (uint64_t i = 0; i < other.count; ++i) copied[i] = other.data[i];
    } catch (...) {
      delete[] copied;
      throw;
    }
    data = copied;
    count = other.count;
    capacity = other.capacity;
  }
};

#pragma pack(pop)

constexpr std::size_t kVectorRecordBytes = 32;
constexpr std::size_t kTargetRecordBytes = 100;
constexpr std::size_t kBreadcrumbRecordBytes = 68;
constexpr std::size_t kTargetPayloadLandBytes = 72;
constexpr std::size_t kApiStateBytes = 103;
constexpr std::size_t kApiRemoteStatusBytes = 16;

}  // namespace KVO

static_assert(sizeof(KVO::Vector<int>) == KVO::kVectorRecordBytes, "KVO::Vector layout is ABI");

// ---------------------------------------------------------------------------
// Result records
//
// Coordinates count pixels from the frame's bottom-left corner with y growing
// upward: a box spans left..right and bottom..top, with top > bottom.

#pragma pack(push, 1)

// One target report.
struct TARGET {
  uint32_t reserved0;     // 0
  uint32_t id;            // target id, from 1
  int32_t left;           // x of the box's left edge
  int32_t top;            // y of the box's top edge
  int32_t right;          // x of the box's right edge
  int32_t bottom;         // y of the box's bottom edge
  uint8_t reserved1[16];  // 0
  int32_t confidence;     // percent, 30..99
  double value1;          // frame height / left
  double value2;          // frame width / bottom
  uint8_t reserved2[8];   // 0
  char text[32];          // "n/a", zero-filled
};

#pragma pack(pop)

static_assert(sizeof(TARGET) == KVO::kTargetRecordBytes, "TARGET layout is ABI");
static_assert(offsetof(TARGET, reserved0) == 0, "TARGET layout is ABI");
static_assert(offsetof(TARGET, id) == 4, "TARGET layout is ABI");
static_assert(offsetof(TARGET, left) == 8, "TARGET layout is ABI");
static_assert(offsetof(TARGET, top) == 12, "TARGET layout is ABI");
static_assert(offsetof(TARGET, right) == 16, "TARGET layout is ABI");
static_assert(offsetof(TARGET, bottom) == 20, "TARGET layout is ABI");
static_assert(offsetof(TARGET, reserved1) == 24, "TARGET layout is ABI");
static_assert(offsetof(TARGET, confidence) == 40, "TARGET layout is ABI");
static_assert(offsetof(TARGET, value1) == 44, "TARGET layout is ABI");
static_assert(offsetof(TARGET, value2) == 52, "TARGET layout is ABI");
static_assert(offsetof(TARGET, reserved2) == 60, "TARGET layout is ABI");
static_assert(offsetof(TARGET, text) == 68, "TARGET layout is ABI");

#pragma pack(push, 4)

// One target's breadcrumb trail: the box centres, oldest first.
struct LandPayload_Breadcrumb {
  uint32_t id = 0;      // id of the target the trail belongs to
  KVO::Vector<int> xs;  // x of each point
  KVO::Vector<int> ys;  // y of each point, same count as xs
};

// What a payload callback receives; always a TargetPayloadLand.
struct TargetPayloadBase {
  void* context = nullptr;  // as passed to SIMProcessNextFrame
};

// The payload of one processed frame. `targets` holds the target when it
// passed the overlay or border-mask test (0 or 1 records); `breadcrumbs`
// holds one trail per reported target for the land family (types 0 and 8)
// and is empty otherwise. Owns its lists; valid only during the callback.
struct TargetPayloadLand : public TargetPayloadBase {
  KVO::Vector<TARGET> targets;
  KVO::Vector<LandPayload_Breadcrumb> breadcrumbs;
};

#pragma pack(pop)

// Offsets of the records holding a vector are checked by the tests: they
// are not standard-layout, so offsetof does not apply.
static_assert(sizeof(LandPayload_Breadcrumb) == KVO::kBreadcrumbRecordBytes,
              "LandPayload_Breadcrumb layout is ABI");
static_assert(sizeof(TargetPayloadBase) == 8, "TargetPayloadBase layout is ABI");
static_assert(sizeof(TargetPayloadLand) == KVO::kTargetPayloadLandBytes,
              "TargetPayloadLand layout is ABI");

// ---------------------------------------------------------------------------
// State and status records

// Records the library accepts by pointer and never reads.
struct API_BasicMetadata {
  double latitude_deg;
  double longitude_deg;
  double altitude_m;
  double timestamp_Sec;
};
struct APIMaritimeHorizonHint {
  uint32_t x;
  uint32_t y;
};

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
// State snapshot and remote status

#pragma pack(push, 1)

// Snapshot of an active run, written whole by SIMGetAPIState. Not in it: the
// frame-rate cap, the SAR sensitivity, the predictive-id aggressiveness and
// the border-mask rectangle.
struct API_State {
  API_InstanceTypeEnum instanceType;
  bool isRunning;                         // always true in a snapshot
  int32_t width;                          // pixels
  int32_t height;                         // pixels
  int32_t depth;                          // bytes per pixel
  TargetCallback targetCallback;          // of a TARGET-array run, or null
  TargetPayloadCallback payloadCallback;  // of a payload run, or null
  bool overlayOrBorderMaskInUse;
  bool metadataIsActive;
  int32_t fps;         // frames handed back per second
  int32_t latency_mS;  // time of the last frame hand-back
  int32_t landSensitivity;
  bool autoBorderActive;
  bool parallaxFilterActive;
  int32_t autoStabilizationFactor;
  int32_t breadcrumbTrailLength;  // selector: 0, 1, 2, other
  int32_t breadcrumbLifeTime;
  int32_t maritimeSensitivity;
  bool autoHorizonActive;
  uint32_t horizonHintX;
  uint32_t horizonHintY;
  uint32_t topCutOffLine;
  uint32_t bottomCutOffLine;
  uint32_t deadPixelDetectionStrength;
  bool demBaseFolderHasBeenSet;
  int32_t demLevel;
  API_GeoLocMethodEnum demGeoLocMethod;
  int32_t mgrsPrecision;
  uint32_t predictionFrames;  // target-position prediction
};

// Remote status; no instance type has one, so the library never fills it.
struct API_RemoteStatus {
  uint32_t value0;
  uint32_t value1;
  uint32_t value2;
  uint32_t value3;
};

#pragma pack(pop)

static_assert(sizeof(API_State) == KVO::kApiStateBytes, "API_State layout is ABI");
static_assert(offsetof(API_State, instanceType) == 0, "API_State layout is ABI");
static_assert(offsetof(API_State, isRunning) == 4, "API_State layout is ABI");
static_assert(offsetof(API_State, width) == 5, "API_State layout is ABI");
static_assert(offsetof(API_State, height) == 9, "API_State layout is ABI");
static_assert(offsetof(API_State, depth) == 13, "API_State layout is ABI");
static_assert(offsetof(API_State, targetCallback) == 17, "API_State layout is ABI");
static_assert(offsetof(API_State, payloadCallback) == 25, "API_State layout is ABI");
static_assert(offsetof(API_State, overlayOrBorderMaskInUse) == 33, "API_State layout is ABI");
static_assert(offsetof(API_State, metadataIsActive) == 34, "API_State layout is ABI");
static_assert(offsetof(API_State, fps) == 35, "API_State layout is ABI");
static_assert(offsetof(API_State, latency_mS) == 39, "API_State layout is ABI");
static_assert(offsetof(API_State, landSensitivity) == 43, "API_State layout is ABI");
static_assert(offsetof(API_State, autoBorderActive) == 47, "API_State layout is ABI");
static_assert(offsetof(API_State, parallaxFilterActive) == 48, "API_State layout is ABI");
static_assert(offsetof(API_State, autoStabilizationFactor) == 49, "API_State layout is ABI");
static_assert(offsetof(API_State, breadcrumbTrailLength) == 53, "API_State layout is ABI");
static_assert(offsetof(API_State, breadcrumbLifeTime) == 57, "API_State layout is ABI");
static_assert(offsetof(API_State, maritimeSensitivity) == 61, "API_State layout is ABI");
static_assert(offsetof(API_State, autoHorizonActive) == 65, "API_State layout is ABI");
static_assert(offsetof(API_State, horizonHintX) == 66, "API_State layout is ABI");
static_assert(offsetof(API_State, horizonHintY) == 70, "API_State layout is ABI");
static_assert(offsetof(API_State, topCutOffLine) == 74, "API_State layout is ABI");
static_assert(offsetof(API_State, bottomCutOffLine) == 78, "API_State layout is ABI");
static_assert(offsetof(API_State, deadPixelDetectionStrength) == 82, "API_State layout is ABI");
static_assert(offsetof(API_State, demBaseFolderHasBeenSet) == 86, "API_State layout is ABI");
static_assert(offsetof(API_State, demLevel) == 87, "API_State layout is ABI");
static_assert(offsetof(API_State, demGeoLocMethod) == 91, "API_State layout is ABI");
static_assert(offsetof(API_State, mgrsPrecision) == 95, "API_State layout is ABI");
static_assert(offsetof(API_State, predictionFrames) == 99, "API_State layout is ABI");
static_assert(sizeof(API_RemoteStatus) == KVO::kApiRemoteStatusBytes,
              "API_RemoteStatus layout is ABI");

// ---------------------------------------------------------------------------
// Run lifecycle and frame buffers

// Starts a run whose reports arrive as TARGET arrays. Restarts the frame-rate
// measurement, makes the whole frame the border-mask rectangle, and offers
// the first buffer no sooner than one frame-rate period after the start.
//   type      0, 1, 2, 8, 9 or 10
//   width     frame width in pixels, > 0
//   height    frame height in pixels, > 0
//   depth     bytes per pixel: 1, 3 or 4
//   callback  result callback, or null (nothing is reported)
// width x height x depth must fit a positive 32-bit signed value. Returns
// false, changing nothing, when an argument is refused or a run is active.
// Throws std::bad_alloc or std::system_error (thread creation); the
// simulator is then left not started.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
                              TargetCallback callback);
// Starts a run whose reports arrive as payloads. Unlike the overload above
// it keeps the frame-rate measurement, the time of the last offer and the
// border-mask rectangle of the previous run (a rectangle never set becomes
// the whole frame): its first offer waits only for what remains of the
// period since the previous run's last offer.
//   type       0, 1, 2, 8, 9 or 10
//   width      frame width in pixels, > 0
//   height     frame height in pixels, > 0
//   depth      bytes per pixel: 1, 3 or 4
//   callback   result callback, or null (nothing is reported)
//   reserved1  ignored
//   reserved2  ignored
// Refusals and exceptions as above.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, int width, int height, int depth,
                              TargetPayloadCallback callback, char* reserved1, char* reserved2);
// Starts a payload run, as above, for 1920 x 1080 frames of 1 byte per pixel.
//   type       0, 1, 2, 8, 9 or 10
//   callback   result callback, or null (nothing is reported)
//   reserved1  ignored
//   reserved2  ignored
// Returns false, changing nothing, when the type is refused or a run is
// active. Exceptions as above.
TOLVENIX_EXPORT bool SIMStart(API_InstanceTypeEnum type, TargetPayloadCallback callback,
                              char* reserved1, char* reserved2);
// Stops the worker, then returns the run's state to its stopped values and
// frees the frame buffers. Kept for the next run: the frame-rate cap, the
// frame-rate and latency figures, the border-mask rectangle and switch, the
// overlay's pixels (not its switch), the target-position prediction, the
// breadcrumb count and the ready-for-new-input callback. Safe without a run
// and from several threads; a call that finds no run leaves alone a run
// that another thread starts meanwhile. Never from a result callback (it
// would deadlock); from the ready-for-new-input callback it does nothing.
// Call it before the process ends or the library is unloaded. A run still
// active then is ended as by this call, waiting at most 5 s for a worker
// inside the ready-for-new-input callback; past that, or when the end comes
// from inside a callback, the run and what its worker uses are left alive.
TOLVENIX_EXPORT void SIMStop();
// Registers the ready-for-new-input callback; without one no buffer is
// offered. Ignored while a run is active. Stays registered across SIMStop.
//   callback  the callback, or null to clear it
TOLVENIX_EXPORT void SIMRegisterReadyForNewInputCallback(ReadyForNewInputCallback callback);
// The buffer of the next frame (width x height x depth bytes, owned by the
// library until SIMStop), or null when no run is active.
TOLVENIX_EXPORT unsigned char* SIMGetNextFrameBuffer();
// As above.
//   status  receives 0 (also without a run); null is skipped
TOLVENIX_EXPORT unsigned char* SIMGetNextFrameBuffer(APIGetNextFrameBufferStatusCode_Enum* status);
// True when a run is active and `buffer` is the next frame buffer, else
// false. Changes nothing and wakes nobody: the buffer stays the next one.
//   buffer  any pointer, null included
TOLVENIX_EXPORT bool SIMCancelFrameBuffer(unsigned char* buffer);
// Frames queued in the ring: 0 without a run, 5 right after SIMStart, then
// 1, 2, 3, 4 and 4 from then on.
TOLVENIX_EXPORT int SIMGetFrameLag();

// ---------------------------------------------------------------------------
// Frame hand-back

// Hands back the frame just filled. The context comes back unchanged in the
// report of this frame, four calls later: the first four calls of a run only
// queue, and from the fifth on each call reports the context of the call
// four earlier through the run's result callback, on this thread, with the
// simulator's lock held. Wakes the worker for the next offer.
//   context  any pointer, null included
// Does nothing while no run is active. Throws std::bad_alloc when a payload
// cannot be built (the frame is then dropped, the ring stays in step).
TOLVENIX_EXPORT void SIMProcessNextFrame(void* context);
// As above.
//   context  any pointer, null included
//   status   receives 0 when a run is active; left untouched without a run;
//            null is skipped
TOLVENIX_EXPORT void SIMProcessNextFrame(void* context, APIProcessNextFrameStatusCode_Enum* status);
// As above.
//   context  any pointer, null included
//   status   as above
//   hint     ignored; may be null
TOLVENIX_EXPORT void SIMProcessNextFrame(void* context, APIProcessNextFrameStatusCode_Enum* status,
                                         APIMaritimeHorizonHint* hint);

// ---------------------------------------------------------------------------
// Settings
//
// Each answers true when the request was accepted and false when it was
// refused; a refused request changes nothing. "Run active" means between an
// accepted SIMStart and SIMStop; "land family" means an active run of type 0
// or 8. SIMStop returns the settings to their defaults except the frame-rate
// cap, the target-position prediction, the border-mask rectangle and switch
// and the overlay's pixels.

// Stores the elevation-model settings. Run active.
//   baseFolder  only whether it is null is kept; never read
//   level       any value
//   method      any value
TOLVENIX_EXPORT bool SIMSetDEM(unsigned char* baseFolder, int level, API_GeoLocMethodEnum method);
// Stores a sensitivity; the maxima of SIMGetMaxSensitivity are not enforced.
// Run active.
//   kind   0 land, 1 maritime, 2 SAR; any other kind is accepted and stores
//          nothing
//   value  any value
TOLVENIX_EXPORT bool SIMSetSensitivity(API_TypeEnum kind, int value);
// Copies an overlay mask and makes it decide which targets a payload
// reports: a target is reported while the overlay byte at its box centre is
// 0. A non-null overlay turns the border mask off. Run active.
//   overlay  width x height bytes of the run, bottom row first, or null to
//            stop using the overlay (its pixels are kept)
// Throws std::bad_alloc when the copy cannot be allocated; the overlay is
// then off.
TOLVENIX_EXPORT bool SIMSetOverlay(unsigned char* overlay);
// Stores the target-position prediction, also while no run is active (the
// next run reports it). Answers whether a run is active.
//   frames  any value
TOLVENIX_EXPORT bool SIMSetTargetPositionPrediction(unsigned int frames);
// Grid-reference precision. Run active.
//   precision  -5..6
TOLVENIX_EXPORT bool SIMSetMGRSPrecision(int precision);
// Frame-rate cap of the buffer offers, from the next offer on. Run active.
// Kept across SIMStop.
//   framesPerSecond  10..30
TOLVENIX_EXPORT bool SIMSetFpsCap(int framesPerSecond);
// Land family.
//   active  any value
TOLVENIX_EXPORT bool SIMSetAutoBorder(bool active);
// Land family.
//   active  any value
TOLVENIX_EXPORT bool SIMSetParallaxFilter(bool active);
// Stabilisation factor. Land family.
//   factor  0..20
TOLVENIX_EXPORT bool SIMConfigureStabilizationTransform(int factor);
// Writes the metadata-logging file, created or truncated, whether or not a
// run is active: "Set Active: " 0|1, line feed, "Log Timestamps: " 0|1
// (31 bytes). Stores nothing. Answers whether a run is active. The file is
// opened without blocking and written without the simulator's lock, so
// frames, SIMStop and queries on other threads never wait for it.
//   active         written as 0 or 1
//   path           the file; null, unwritable or a FIFO without a reader:
//                  nothing is written, silently
//   logTimestamps  written as 0 or 1
TOLVENIX_EXPORT bool SIMSetMetadataLogging(bool active, char* path, bool logTimestamps);
// Marks metadata as active. Run active.
//   length  ignored
//   packet  ignored; may be null
TOLVENIX_EXPORT bool SIMUpdateMetadata(unsigned int length, unsigned char* packet);
// Marks metadata as active. Run active.
//   metadata  ignored; may be null
TOLVENIX_EXPORT bool SIMSetMetadata(API_BasicMetadata* metadata);
// Land family.
//   value  any value
TOLVENIX_EXPORT bool SIMSetPredictiveIdAggressiveness(int value);
// Breadcrumb trail length. Land family.
//   selector  0, 1, 2 give trails of up to 10, 20, 50 points, any other
//             value 200
TOLVENIX_EXPORT bool SIMSetDesiredBreadcrumbTrailLength(int selector);
// Land family.
//   value  any value
TOLVENIX_EXPORT bool SIMSetDesiredBreadcrumbLifeTime(int value);
// Land family; changes nothing.
TOLVENIX_EXPORT bool SIMResetPersistenceData();
// Horizon settings, stored as given. Instance type 1 only (9 is refused).
//   autoHorizon       any value
//   hintX             any value
//   hintY             any value
//   topCutOffLine     any value
//   bottomCutOffLine  any value
TOLVENIX_EXPORT bool SIMSetupHorizon(bool autoHorizon, unsigned int hintX, unsigned int hintY,
                                     unsigned int topCutOffLine, unsigned int bottomCutOffLine);
// Dead-pixel detection strength. Instance type 1 only (9 is refused).
//   strength  any value
TOLVENIX_EXPORT bool SIMSetDeadPixelDetectionStrength(unsigned int strength);
// Turns overlay and border mask off and sets the rectangle to the whole
// frame (the overlay pixels are kept). Changes nothing without a run; true
// always.
TOLVENIX_EXPORT bool SIMClearBorderMaskAndOverlay();
// Border-mask rectangle: a payload reports a target whose box corner (left,
// bottom) lies strictly inside it. Turns the overlay off. Run active.
//   left    >= 0
//   bottom  >= 0
//   width   left + width < frame width (negative: the rectangle admits none)
//   height  bottom + height < frame height (likewise)
TOLVENIX_EXPORT bool SIMSetBorderMask(int left, int bottom, int width, int height);

// ---------------------------------------------------------------------------
// Queries

// The interface version this header describes, fixed when the host is
// compiled. SIMGetAPIVersion answers the version of the library the host
// loaded: the same three numbers when that library is the one this header
// came with (UTIL_GetDLLVersion too, the interface being the library's), so
// a host compares them to know it runs against the interface it was built for.
constexpr uint32_t KVO_TOLVENIXAPI_VERSION_MAJOR = TOLVENIX_VERSION_MAJOR;
constexpr uint32_t KVO_TOLVENIXAPI_VERSION_MINOR = TOLVENIX_VERSION_MINOR;
constexpr uint32_t KVO_TOLVENIXAPI_VERSION_SUB = TOLVENIX_VERSION_SUB;

// The library's version. No lock.
//   major, minor, sub  receive the three numbers; a null pointer is skipped
TOLVENIX_EXPORT void UTIL_GetDLLVersion(unsigned int* major, unsigned int* minor,
                                        unsigned int* sub);
// The interface version (the library's), twice. No lock.
//   major, minor, sub                 receive the three numbers
//   majorAgain, minorAgain, subAgain  receive them again
// A null pointer is skipped.
TOLVENIX_EXPORT void SIMGetAPIVersion(unsigned int* major, unsigned int* minor, unsigned int* sub,
                                      unsigned int* majorAgain, unsigned int* minorAgain,
                                      unsigned int* subAgain);
// 0 while a run is active, 9 when none is.
TOLVENIX_EXPORT int32_t SIMGetAPIStatus();
// Fills the whole snapshot, consistent with itself, and answers true while a
// run is active; writes nothing and answers false otherwise.
//   state  the 103-byte record to fill; null answers false
TOLVENIX_EXPORT bool SIMGetAPIState(API_State* state);
// Largest sensitivity of a kind for the active run: land 8 (land family
// only), maritime and SAR 15; -1 where none applies or without a run.
//   kind  0 land, 1 maritime, 2 SAR; any other kind answers -1
TOLVENIX_EXPORT int32_t SIMGetMaxSensitivity(API_TypeEnum kind);
// 100 while a run is active, -1 when none is.
TOLVENIX_EXPORT int32_t SIMGetAvgConfidenceLevel();
// Always false, the record left untouched: no instance type has a remote
// status.
//   status  never written; may be null
TOLVENIX_EXPORT bool SIMGetRemoteStatus(API_RemoteStatus* status);

// ---------------------------------------------------------------------------
// Image files
//
// Pixels in both directions: one byte per channel, interleaved, colour
// channels B, G, R (then a fourth) from the lowest address; the first row in
// memory is the bottom row of the picture. File formats: 0 guess from the
// name's last character ("p" BMP, "g" JPEG, "w" raw Bayer, anything else and
// names of at most 5 characters BMP), 1 BMP, 2 JPEG, 4 raw Bayer (3376 x 2704
// one-byte samples, reading only); 3 and values above 4 are refused. The
// host's buffers stay the host's: they are read or written, never kept.
// Each call is independent; host threads may call these concurrently.

// Reads an image file into the host's buffer, or only reports its size.
//   path            file to read; not null
//   width, height   receive the picture's size in pixels (null: skipped)
//   channels        receives the channel count (null: skipped); header-only
//                   mode reports the file's own count, a load the count
//                   delivered
//   bufferSize      size of `buffer` in bytes; 0 selects header-only mode
//   buffer          receives width * height * channels bytes, packed rows;
//                   null selects header-only mode
//   desiredChannels 0 as the file, 1, 3 or 4 that many, 2 one for a grey
//                   file and four otherwise; other values are refused
//   format          see above
// Header-only mode answers true and reports 0, 0, 0 when the file cannot be
// read. Only regular files are read and opening never blocks: a FIFO,
// directory or device is a file that cannot be read. A load answers false
// when the file cannot be read, when the file's channels cannot be turned
// into the desired count, or when the buffer is
// smaller than width * height * channels (then the three outputs already
// tell the size needed and the buffer is untouched). Files whose pixels
// cannot be delivered faithfully are unreadable: compressed or palette-colour
// BMP files, CMYK, YCCK, two-component and arithmetic-coded JPEG files. A
// JPEG decode answers false at the codec's first warning of corrupt or
// missing scan data, when a component of the picture is in no scan, after
// more than 500 scans, when the codec's working memory, beyond the buffer,
// would pass 1 GiB, or when the scans of a multi-scan file would cover more
// than 16,777,216 blocks of 8 x 8 samples plus 64 for each byte after the
// first scan's header (a file of 10 KB answers within about a second of one
// core, whatever size it declares); a damaged trailer after complete scan
// data is forgiven.
// Each call starts and joins one library thread; when the system refuses to
// create it, a two-line "Caught system_error with code ..." message goes to
// standard output and the load goes on without it. Throws std::bad_alloc on
// allocation failure, and boost::thread_resource_error when the system cannot
// make the loader's lock or wake event.
TOLVENIX_EXPORT bool UTIL_LoadImageToBuffer(char const* path, unsigned int* width,
                                            unsigned int* height, unsigned int* channels,
                                            unsigned int bufferSize, unsigned char* buffer,
                                            int desiredChannels, int format);

// Writes the host's pixels to an image file, creating or replacing it.
//   path      file to write
//   width     pixels per row (JPEG: 1 to 65,500)
//   height    rows (JPEG: 1 to 65,500)
//   channels  bytes per pixel: BMP 1 to 4, JPEG 1 (grey) or 3; any other
//             count answers false
//   pixels    the picture; null is refused
//   format    see above; raw Bayer is refused for any non-empty picture
//   stride    bytes between the starts of two rows, 0 for packed rows;
//             negative values are refused
// Answers true when the file was written. A refused save never touches the
// file system. A new file gets 0666 less the umask. An existing file keeps
// its permission bits, owner and group; a link's target is written and the
// link stays, and so do its inode flags (no-dump, no-atime, synchronous
// writes) and file system attributes (project id, extent size hints, XFS's
// no-defrag, filestream and DAX flags). A new file, or a regular file with
// one link whose owner, group, flags and attributes the process can give a
// new file, is written aside, unnamed, and given its name only once
// complete (on file systems without unnamed files, under a hidden temporary
// name), so a failed save leaves the old file as it was and no temporary
// behind. A host killed while it saves never leaves a partial picture under
// the name, and a new name, written unnamed, leaves nothing else. A file
// replaced has a hidden name .<name>.<...>.tmp for the instant before the
// rename over it, and a kill then leaves that whole copy beside it (killed
// at random in a loop replacing one file: 1 to 3 kills in 100 for 64 x 64
// pictures on ext4, 4 to 11 on tmpfs, 0.5 in 100 for 1920 x 1080, 33 in
// 100 with four threads saving into one folder); without unnamed files
// (FUSE, NFS) most kills leave one, often partial. A save that replaces a
// file syncs the copy before the rename, so that a crash leaves one version
// whole, and takes longer than fopen writing over the file (640 x 480 BMP:
// ext4 2.8 against 1.6 ms, XFS 2.0 against 0.9 ms, btrfs 5.4 against
// 3.5 ms); a new name is not synced. Anything else is written in place, as
// fopen would, keeping its inode and links (a failed write then leaves
// what was written): a file with more links, a file shared through its
// group or another user's file in a sticky folder, a file whose project
// differs from the one its folder gives every file in it or that the
// process may not set (in a user namespace), a device such as /dev/null, a
// file in a folder that admits no new file or is marked append-only or
// immutable. A file under a lease (as file servers hold) is saved once the
// holder gives the lease up. A save whose target keeps being replaced by
// others while it opens it answers false with errno EAGAIN. Saves of one
// file in place from several host threads take turns, so it ends as one
// whole picture; a load of it that meets such a save midway may fail.
// /dev/stdout, /dev/stderr and /dev/fd/N are written through the process's
// own descriptor, from where it stands. A FIFO or pipe without a reader, a
// directory, or a socket (also as /dev/fd/N or /dev/stdout) is refused at
// once. A new name that another file takes while the save runs is treated
// as a file found when it began (one the process may not write: false with
// errno EACCES). A path that fopen "wb" refuses (empty, of PATH_MAX bytes or
// more, through more than 40 links, a file's name followed by "/" or "/.")
// answers false with fopen's errno. Programs watching the folder (inotify)
// hear a close-after-write event under the name once the whole picture is
// there, as with fopen; the writes before it are reported under the file's
// unnamed or hidden name.
// Refused too, leaving every file as it was, wherever the kernel's
// shared-folder protections (fs.protected_symlinks, fs.protected_regular,
// fs.protected_fifos, as set at the time of the save) would refuse fopen
// "wb": a symbolic link, as the last name or on a folder of the path, in a
// sticky world-writable folder such as /tmp and owned by neither the saving
// user nor the folder's owner; another user's file or FIFO in a sticky
// folder that others may write. A new name is always saved.
// Throws std::bad_alloc on allocation failure.
TOLVENIX_EXPORT bool UTIL_SaveImageFromBuffer(char const* path, unsigned int width,
                                              unsigned int height, unsigned int channels,
                                              unsigned char* pixels, int format, int stride);

#endif  // API_TOLVENIXUTILITIES_H_
