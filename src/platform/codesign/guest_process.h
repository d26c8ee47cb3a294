#pragma once
// A running guest process pinned by a pidfd, with the executable it was started from, and the checks
// that stand in for the hardened runtime. /proc is the kernel's view and is never under the system root.

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
    owned_fd_t pidfd;
    owned_fd_t executable;
};

// True when a NUL-separated environment block sets a variable through which the dynamic linker loads
// foreign code (LD_PRELOAD, LD_LIBRARY_PATH, LD_AUDIT).
[[nodiscard]] bool environment_injects_code(std::string_view environment_block);

// The TracerPid of a /proc/<pid>/status text; absent when the line is missing or malformed.
[[nodiscard]] std::optional<std::uint64_t> parse_tracer_pid(std::string_view status_text);

// Opens the executable of the token's process. errSecCSNoSuchCode when the process has exited or its
// pid now names a process started at another time.
[[nodiscard]] os_status_t open_guest(const audit_token_t& token, guest_process_t& out);

// The pinned process is still the one of the token: alive, same start time.
[[nodiscard]] bool guest_still_running(const guest_process_t& guest);

// errSecCSGuestInvalid when the guest runs with dynamic-linker injection, code from a file that others than
// root could have written, or under a tracer, or when this cannot be established. `executable_fd` is the
// guest's executable as opened when it was found.
[[nodiscard]] os_status_t check_hardened_runtime(const guest_process_t& guest, int executable_fd);

}  // namespace platform::codesign
