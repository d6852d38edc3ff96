// The version queries. They take no lock: the numbers are constants.
#include <cstdint>

#include "TolvenixUtilities.h"
#include "TolvenixVersion.h"

namespace {

// The library's version. The interface is released with the library, so the
// public header's interface version holds the same numbers.
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_MAJOR = TOLVENIX_VERSION_MAJOR;
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_MINOR = TOLVENIX_VERSION_MINOR;
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_SUB = TOLVENIX_VERSION_SUB;

template <typename T>
void WriteIfGiven(T* destination, T value) {
  if (destination != nullptr) *destination = value;
}

void WriteApiVersion(unsigned int* major, unsigned int* minor, unsigned int* sub) {
  WriteIfGiven(major, KVO_TOLVENIXAPI_VERSION_MAJOR);
  WriteIfGiven(minor, KVO_TOLVENIXAPI_VERSION_MINOR);
  WriteIfGiven(sub, KVO_TOLVENIXAPI_VERSION_SUB);
}

}  // namespace

void UTIL_GetDLLVersion(unsigned int* major, unsigned int* minor, unsigned int* sub) {
  WriteIfGiven(major, KVO_TOLVENIXUTILITIES_VERSION_MAJOR);
  WriteIfGiven(minor, KVO_TOLVENIXUTILITIES_VERSION_MINOR);
  WriteIfGiven(sub, KVO_TOLVENIXUTILITIES_VERSION_SUB);
}

void SIMGetAPIVersion(unsigned int* major, unsigned int* minor, unsigned int* sub,
                      unsigned int* majorAgain, unsigned int* minorAgain, unsigned int* subAgain) {
  WriteApiVersion(major, minor, sub);
  WriteApiVersion(majorAgain, minorAgain, subAgain);
}
