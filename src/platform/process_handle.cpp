#include "platform/process_handle.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/process_info.h"

namespace platform {

std::optional<process_handle_t> process_handle_t::open(pid_t pid) {
    // Through syscall(2): this glibc's <sys/pidfd.h> lacks C linkage for C++ callers.
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    return process_handle_t(pid, owned_fd_t(static_cast<int>(fd)));
}

namespace {

// Field 3 of a /proc/<pid>/stat line, after the command name's last ")": a zombie ("Z", or "X" while it
// goes) has ended and only waits for its parent to collect its status.
bool has_ended(std::string_view stat_line) {
    const std::size_t end_of_name = stat_line.rfind(')');
    return end_of_name == std::string_view::npos || end_of_name + 2 >= stat_line.size() ||
           stat_line[end_of_name + 2] == 'Z' || stat_line[end_of_name + 2] == 'X';
}

}  // namespace

std::optional<std::uint64_t> process_handle_t::start_time() const {
    const std::optional<std::string> stat = read_process_entry(pid_, "stat");
    const std::optional<std::uint64_t> started = stat ? parse_stat_start_time(*stat) : std::nullopt;
    // The pid stays ours until the pinned process is reaped; still signalable afterwards means the line
    // was read from it and not from a successor.
    if (!started || has_ended(*stat) || send_signal(0) != 0) {
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
