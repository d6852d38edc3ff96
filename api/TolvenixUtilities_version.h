#ifndef API_TOLVENIXUTILITIES_VERSION_H_
#define API_TOLVENIXUTILITIES_VERSION_H_

#include <cstdint>

// Version of the library as a whole, answered by UTIL_GetDLLVersion. It
// moves with the SIM interface's version.
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_MAJOR = 4;
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_MINOR = 1;
constexpr std::uint32_t KVO_TOLVENIXUTILITIES_VERSION_SUB = 6;

#endif  // API_TOLVENIXUTILITIES_VERSION_H_
