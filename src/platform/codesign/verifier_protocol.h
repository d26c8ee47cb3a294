#pragma once
// How the code verifier is called and how it answers. It is started as
//   quorvix-code-verifier <anchors PEM path> <requirement text> <verifier uid> <verifier gid>
// with the executable to judge as its standard input and an empty environment, and it answers through its
// exit status alone, which stands for one code-signing status. The ids are those of the verifier account
// (platform::service_accounts()), which it becomes once the anchors are read.

#include <array>
#include <string_view>
#include <utility>

#include "platform/os_status.h"

namespace platform::codesign::verifier {

inline constexpr std::string_view kExecutableName = "quorvix-code-verifier";

namespace detail {
inline constexpr std::array<std::pair<os_status_t, int>, 9> kExitStatuses = {{
    {errSecSuccess, 0},
    {errSecCSUnsigned, 10},
    {errSecCSSignatureFailed, 11},
    {errSecCSGuestInvalid, 12},
    {errSecCSNoSuchCode, 13},
    {errSecCSReqInvalid, 14},
    {errSecCSReqFailed, 15},
    {errSecCSBadObjectFormat, 16},
    {kParamErr, 17},
}};
inline constexpr int kInternalErrorExitStatus = 1;
}  // namespace detail

[[nodiscard]] constexpr int exit_status_for(os_status_t status) {
    for (const auto& [known, exit_status] : detail::kExitStatuses) {
        if (known == status) {
            return exit_status;
        }
    }
    return detail::kInternalErrorExitStatus;
}

// Anything the table does not name (a crash, a sanitizer's report) is an internal error, never success.
[[nodiscard]] constexpr os_status_t status_for_exit(int exit_status) {
    for (const auto& [status, known] : detail::kExitStatuses) {
        if (known == exit_status) {
            return status;
        }
    }
    return errSecCSInternalError;
}

static_assert(
    [] {
        for (const auto& [status, exit_status] : detail::kExitStatuses) {
            if (status_for_exit(exit_status_for(status)) != status || (exit_status == 0) != (status == 0)) {
                return false;
            }
        }
        return status_for_exit(detail::kInternalErrorExitStatus) == errSecCSInternalError;
    }(),
    "every status survives the exit status, and only success is 0");

}  // namespace platform::codesign::verifier
