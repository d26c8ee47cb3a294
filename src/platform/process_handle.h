#pragma once
// Stand-in for kill(2) aimed at a pid read from the process list: the process is pinned by a pidfd, so a
// signal reaches it and never one that later receives the same pid.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "platform/owned_fd.h"

namespace platform {

class process_handle_t {
public:
    // Absent when the process is gone (or pidfds are unavailable); errno tells which.
    [[nodiscard]] static std::optional<process_handle_t> open(pid_t pid);

    // The start time of the pinned process (as process_start_time); absent once it has ended (a zombie
    // included), and never read from a later holder of the pid.
    [[nodiscard]] std::optional<std::uint64_t> start_time() const;

    // 0 when delivered, else the errno of the failure.
    [[nodiscard]] int send_signal(int signal_number) const;

private:
    process_handle_t(pid_t pid, owned_fd_t descriptor) : pid_(pid), descriptor_(std::move(descriptor)) {}

    pid_t pid_ = 0;
    owned_fd_t descriptor_;
};

}  // namespace platform
