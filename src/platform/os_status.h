#pragma once
// Status codes of the macOS frameworks that the stand-ins report, with their macOS values.

#include <cstdint>

namespace platform {

using os_status_t = std::int32_t;

inline constexpr os_status_t kParamErr = -50;

// Code signing.
inline constexpr os_status_t errSecSuccess = 0;
inline constexpr os_status_t errSecCSUnsigned = -67062;
inline constexpr os_status_t errSecCSSignatureFailed = -67061;
inline constexpr os_status_t errSecCSGuestInvalid = -67063;
inline constexpr os_status_t errSecCSNoSuchCode = -67065;
inline constexpr os_status_t errSecCSInvalidFlags = -67070;
inline constexpr os_status_t errSecCSInvalidObjectRef = -67071;
inline constexpr os_status_t errSecCSReqInvalid = -67052;
inline constexpr os_status_t errSecCSReqFailed = -67050;
inline constexpr os_status_t errSecCSBadObjectFormat = -67049;
inline constexpr os_status_t errSecCSInternalError = -67048;

// Authorization Services.
inline constexpr os_status_t errAuthorizationSuccess = 0;
inline constexpr os_status_t errAuthorizationInvalidSet = -60001;
inline constexpr os_status_t errAuthorizationInvalidRef = -60002;
inline constexpr os_status_t errAuthorizationDenied = -60005;
inline constexpr os_status_t errAuthorizationCanceled = -60006;
inline constexpr os_status_t errAuthorizationInteractionNotAllowed = -60007;
inline constexpr os_status_t errAuthorizationInternal = -60008;

// Launch Services.
inline constexpr os_status_t kLSApplicationNotFoundErr = -10814;
inline constexpr os_status_t kLSNoExecutableErr = -10827;

}  // namespace platform
