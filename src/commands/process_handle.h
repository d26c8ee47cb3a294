#pragma once
// A process pinned by a pidfd: once opened, signals reach this process and never one that later
// receives the same pid. The Linux side of delivering a signal to a listed process.

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/owned_fd.h"

namespace commands {

class process_handle_t {
public:
    // Absent when the process is gone (or pidfds are unavailable); errno tells which.
    [[nodiscard]] static std::optional<process_handle_t> open(pid_t pid);

    // The raw /proc cmdline of the pinned process; absent when it has been reaped meanwhile, so a text
    // read from a reused pid is never taken for it. A zombie has an empty command line.
    [[nodiscard]] std::optional<std::string> command_line() const;

    // 0 when delivered, else the errno of the failure.
    [[nodiscard]] int send_signal(int signal_number) const;

private:
    process_handle_t(pid_t pid, platform::owned_fd_t descriptor)
        : pid_(pid), descriptor_(std::move(descriptor)) {}

    pid_t pid_ = 0;
    platform::owned_fd_t descriptor_;
};

}  // namespace commands
