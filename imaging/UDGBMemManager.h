#ifndef IMAGING_UDGBMEMMANAGER_H_
#define IMAGING_UDGBMEMMANAGER_H_

#include "imaging/UserDataImageBuffer.h"

namespace KVO {

// Makes heap buffers of one configured geometry; with `kZeroFill` every
// array made is filled with all-zero bytes (0, 0.0 or false), otherwise it
// is left uninitialised. Use it through the two named managers below.
//
// A manager keeps no record of what it made: each buffer belongs to the
// caller from AllocateOne() until the caller hands it to DeallocateOne() (or
// deletes it). Until Configure() the geometry is 0 x 0 x 0 without storage,
// so AllocateOne() then returns an empty buffer. Not synchronised:
// reconfiguring while another thread allocates needs the user's lock.
template <typename T, bool kZeroFill>
class UDGBMemManagerBody {
 public:
  bool configured = false;
  int width = 0;
  int height = 0;
  int channels = 0;
  bool allocate = false;

  // Stores the geometry of the buffers to make; no checks.
  void Configure(int width, int height, int channels, bool allocate);
  // New buffer owned by the caller. Throws the allocation exception
  // (nothing leaks), including for negative or over-large geometry.
  UserDataGenericBuffer<T>* AllocateOne();
  // Destroys a buffer made by AllocateOne(); null does nothing.
  void DeallocateOne(UserDataGenericBuffer<T>* buffer);
};

// Arrays left uninitialised.
template <typename T>
class UDGBMemManager : public UDGBMemManagerBody<T, false> {};

// Arrays filled with all-zero bytes.
template <typename T>
class UDGBMemManagerZero : public UDGBMemManagerBody<T, true> {};

#define KVO_DECLARE_MEM_MANAGER(T)                    \
  extern template class UDGBMemManagerBody<T, false>; \
  extern template class UDGBMemManagerBody<T, true>;
KVO_IMAGE_BUFFER_TYPES(KVO_DECLARE_MEM_MANAGER)
#undef KVO_DECLARE_MEM_MANAGER

}  // namespace KVO

#endif  // IMAGING_UDGBMEMMANAGER_H_
