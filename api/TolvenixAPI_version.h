#ifndef API_TOLVENIXAPI_VERSION_H_
#define API_TOLVENIXAPI_VERSION_H_

#include <cstdint>

// Version of the SIM interface, answered by SIMGetAPIVersion.
constexpr std::uint32_t KVO_TOLVENIXAPI_VERSION_MAJOR = 4;
constexpr std::uint32_t KVO_TOLVENIXAPI_VERSION_MINOR = 1;
constexpr std::uint32_t KVO_TOLVENIXAPI_VERSION_SUB = 6;

#endif  // API_TOLVENIXAPI_VERSION_H_
