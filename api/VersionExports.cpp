// The version queries. They take no lock: the numbers are constants.
#include "TolvenixUtilities.h"
#include "TolvenixVersion.h"

namespace {

template <typename T>
void WriteIfGiven(T* destination, T value) {
  if (destination != nullptr) *destination = value;
}

}  // namespace

void UTIL_GetDLLVersion(unsigned int* major, unsigned int* minor, unsigned int* sub) {
  WriteIfGiven(major, KVO_TOLVENIXUTILITIES_VERSION_MAJOR);
  WriteIfGiven(minor, KVO_TOLVENIXUTILITIES_VERSION_MINOR);
  WriteIfGiven(sub, KVO_TOLVENIXUTILITIES_VERSION_SUB);
}

// The interface moves with the library: its version is the library's.
void SIMGetAPIVersion(unsigned int* major, unsigned int* minor, unsigned int* sub,
                      unsigned int* majorAgain, unsigned int* minorAgain, unsigned int* subAgain) {
  UTIL_GetDLLVersion(major, minor, sub);
  UTIL_GetDLLVersion(majorAgain, minorAgain, subAgain);
}
