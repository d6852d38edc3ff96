#include "imaging/UDGBMemManager.h"

#include <cstring>
#include <memory>

namespace KVO {

template <typename T>
void UDGBMemManager<T>::Configure(int newWidth, int newHeight, int newChannels, bool newAllocate) {
  width = newWidth;
  height = newHeight;
  channels = newChannels;
  allocate = newAllocate;
  configured = true;
}

template <typename T>
UserDataGenericBuffer<T>* UDGBMemManager<T>::AllocateOne() {
  return new UserDataGenericBuffer<T>(width, height, channels, allocate);
}

template <typename T>
void UDGBMemManager<T>::DeallocateOne(UserDataGenericBuffer<T>* buffer) {
  delete buffer;
}

template <typename T>
void UDGBMemManagerZero<T>::Configure(int newWidth, int newHeight, int newChannels,
                                      bool newAllocate) {
  width = newWidth;
  height = newHeight;
  channels = newChannels;
  allocate = newAllocate;
  configured = true;
}

template <typename T>
UserDataGenericBuffer<T>* UDGBMemManagerZero<T>::AllocateOne() {
  // Held uniquely until filled, so nothing leaks if a later step throws.
  std::unique_ptr<UserDataGenericBuffer<T>> buffer(
      new UserDataGenericBuffer<T>(width, height, channels, allocate));
  if (buffer->begin != nullptr && buffer->end != buffer->begin) {
    std::memset(static_cast<void*>(buffer->begin), 0,
                static_cast<std::size_t>(buffer->end - buffer->begin) * sizeof(T));
  }
  return buffer.release();
}

template <typename T>
void UDGBMemManagerZero<T>::DeallocateOne(UserDataGenericBuffer<T>* buffer) {
  delete buffer;
}

#define KVO_DEFINE_MEM_MANAGER(T)   \
  template class UDGBMemManager<T>; \
  template class UDGBMemManagerZero<T>;
KVO_IMAGE_BUFFER_TYPES(KVO_DEFINE_MEM_MANAGER)
#undef KVO_DEFINE_MEM_MANAGER

}  // namespace KVO
