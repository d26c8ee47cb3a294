#pragma once
// A running guest process pinned by a pidfd, with the executable it was started from, and the checks
// that stand in for the hardened runtime. /proc is the kernel's view and is never under the system root;
// nothing here reads a guest's memory or its map, which a guest can make wait without end.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/audit_token.h"
#include "platform/os_status.h"
#include "platform/owned_fd.h"

namespace platform::codesign {

struct guest_process_t {
    pid_t pid = 0;
    std::uint32_t pid_version = 0;
    // The effective ids the kernel recorded when the guest connected.
    std::uint32_t effective_user = 0;
    std::uint32_t effective_group = 0;
    owned_fd_t pidfd;
    owned_fd_t executable;
};

// The TracerPid of a /proc/<pid>/status text; absent when the line is missing or malformed.
[[nodiscard]] std::optional<std::uint64_t> parse_tracer_pid(std::string_view status_text);

// Opens the executable of the token's process. errSecCSNoSuchCode when the process has exited or its
// pid now names a process started at another time.
[[nodiscard]] os_status_t open_guest(const audit_token_t& token, guest_process_t& out);

// The pinned process is still the one of the token: alive, same start time.
[[nodiscard]] bool guest_still_running(const guest_process_t& guest);

// errSecCSGuestInvalid when the kernel did not vouch for the guest at connect time (a user's process outside
// the client group: platform::kernel_vouches_for_peer), when it runs under a tracer, or when that cannot
// be established.
[[nodiscard]] os_status_t check_hardened_runtime(const guest_process_t& guest);

}  // namespace platform::codesign
