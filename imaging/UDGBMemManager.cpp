#include "imaging/UDGBMemManager.h"

#include <cstring>
#include <memory>

namespace KVO {

template <typename T, bool kZeroFill>
void UDGBMemManagerBody<T, kZeroFill>::Configure(int newWidth, int newHeight, int newChannels,
                                                 bool newAllocate) {
  width = newWidth;
  height = newHeight;
  channels = newChannels;
  allocate = newAllocate;
  configured = true;
}

template <typename T, bool kZeroFill>
UserDataGenericBuffer<T>* UDGBMemManagerBody<T, kZeroFill>::AllocateOne() {
  // Held uniquely until filled, so nothing leaks if a later step throws.
  std::unique_ptr<UserDataGenericBuffer<T>> buffer(
      new UserDataGenericBuffer<T>(width, height, channels, allocate));
  if (kZeroFill && buffer->begin != nullptr && buffer->end != buffer->begin) {
    std::memset(static_cast<void*>(buffer->begin), 0,
                static_cast<std::size_t>(buffer->end - buffer->begin) * sizeof(T));
  }
  return buffer.release();
}

template <typename T, bool kZeroFill>
void UDGBMemManagerBody<T, kZeroFill>::DeallocateOne(UserDataGenericBuffer<T>* buffer) {
  delete buffer;
}

#define KVO_DEFINE_MEM_MANAGER(T)              \
  template class UDGBMemManagerBody<T, false>; \
  template class UDGBMemManagerBody<T, true>;
KVO_IMAGE_BUFFER_TYPES(KVO_DEFINE_MEM_MANAGER)
#undef KVO_DEFINE_MEM_MANAGER

}  // namespace KVO
