#include "platform/process_handle.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process_info.h"

namespace platform {

// Through syscall(2): this glibc's <sys/pidfd.h> lacks C linkage for C++ callers.
std::optional<process_handle_t> process_handle_t::open(pid_t pid) {
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    return process_handle_t(pid, owned_fd_t(static_cast<int>(fd)));
}

std::optional<std::uint64_t> process_handle_t::start_time() const {
    const std::optional<std::uint64_t> started = process_start_time(pid_);
    // The pid stays ours until the pinned process is reaped; still signalable afterwards means the value
    // was read from it and not from a successor.
    if (!started || send_signal(0) != 0) {
        return std::nullopt;
    }
    return started;
}

int process_handle_t::send_signal(int signal_number) const {
    if (::syscall(SYS_pidfd_send_signal, descriptor_.get(), signal_number, nullptr, 0) == 0) {
        return 0;
    }
    return errno;
}

}  // namespace platform
