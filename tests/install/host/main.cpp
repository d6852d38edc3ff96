// A host built only from the installed headers and library.
#include <cstdio>

#include <TolvenixUtilities.h>

int main() {
  if (SIMGetFrameLag() != 0) return 1;
  if (SIMGetNextFrameBuffer() != nullptr) return 2;
  SIMStop();
  // The installed header's version is the installed library's.
  unsigned int major = 0, minor = 0, sub = 0;
  SIMGetAPIVersion(&major, &minor, &sub, nullptr, nullptr, nullptr);
  if (major != KVO_TOLVENIXAPI_VERSION_MAJOR || minor != KVO_TOLVENIXAPI_VERSION_MINOR ||
      sub != KVO_TOLVENIXAPI_VERSION_SUB) {
    return 3;
  }
  std::printf("installed host ok, interface %u.%u.%u\n", major, minor, sub);
  return 0;
}
