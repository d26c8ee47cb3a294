#include "commands/process_handle.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process_info.h"

namespace commands {

std::optional<process_handle_t> process_handle_t::open(pid_t pid) {
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    return process_handle_t(pid, platform::owned_fd_t(static_cast<int>(fd)));
}

std::optional<std::string> process_handle_t::command_line() const {
    std::optional<std::string> text = platform::read_process_entry(pid_, "cmdline");
    // The pid stays ours until the pinned process is reaped; still signalable afterwards means the text
    // was read from it and not from a successor.
    if (!text || send_signal(0) != 0) {
        return std::nullopt;
    }
    return text;
}

int process_handle_t::send_signal(int signal_number) const {
    if (::syscall(SYS_pidfd_send_signal, descriptor_.get(), signal_number, nullptr, 0) == 0) {
        return 0;
    }
    return errno;
}

}  // namespace commands
