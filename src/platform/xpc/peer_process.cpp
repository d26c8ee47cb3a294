#include "platform/xpc/peer_process.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>

#include "platform/process_info.h"

namespace platform::xpc {
namespace {

// Older kernel headers lack the option; the kernel has had it since 6.5.
#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;
#endif

template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string_view trim_line_end(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<executable_identity_t> executable_of(int process_directory) {
    struct stat info {};
    if (fstatat(process_directory, "exe", &info, 0) != 0) {
        return std::nullopt;
    }
    return executable_identity_t{info.st_dev, info.st_ino};
}

bool is_alive(int pidfd) {
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

owned_fd_t pin_process(int socket, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0 && pidfd >= 0) {
        return owned_fd_t(pidfd);
    }
    // Kernels without SO_PEERPIDFD: the pid may in principle have been reused since connect; the start
    // time read after pinning still names the process we then check against.
    return owned_fd_t(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
}

}  // namespace

std::optional<std::uint32_t> parse_status_real_id(std::string_view status, std::string_view key) {
    std::size_t line_start = 0;
    while (line_start < status.size()) {
        const auto line_end = std::min(status.find('\n', line_start), status.size());
        std::string_view line = status.substr(line_start, line_end - line_start);
        if (line.substr(0, key.size()) == key) {
            line.remove_prefix(key.size());
            const auto begin = line.find_first_not_of(" \t");
            if (begin == std::string_view::npos) {
                return std::nullopt;
            }
            line.remove_prefix(begin);
            return parse_number<std::uint32_t>(line.substr(0, line.find_first_of(" \t")));
        }
        line_start = line_end + 1;
    }
    return std::nullopt;
}

peer_process_t::peer_process_t(audit_token_t token, owned_fd_t process_directory, owned_fd_t status_file,
                               executable_identity_t executable)
    : token_(token),
      process_directory_(std::move(process_directory)),
      status_file_(std::move(status_file)),
      executable_(executable) {}

std::optional<peer_process_t> peer_process_t::from_socket(int socket, std::string* reason) {
    auto fail = [reason](std::string text) -> std::optional<peer_process_t> {
        if (reason != nullptr) {
            *reason = std::move(text);
        }
        return std::nullopt;
    };
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.pid <= 0) {
        return fail("no peer credentials");
    }
    const pid_t pid = credentials.pid;
    const owned_fd_t pidfd = pin_process(socket, pid);
    if (!pidfd.valid()) {
        return fail("peer process " + std::to_string(pid) + " cannot be pinned");
    }
    const auto gone = [&] { return fail("peer process " + std::to_string(pid) + " is gone or unreadable"); };
    owned_fd_t directory(::open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        return gone();
    }
    owned_fd_t status_file = platform::open_process_entry(directory.get(), "status");
    const auto stat = platform::read_process_entry_at(directory.get(), "stat");
    const auto status =
        status_file.valid() ? platform::reread_process_entry(status_file.get()) : std::nullopt;
    const auto login_uid = platform::read_process_entry_at(directory.get(), "loginuid");
    const auto executable = executable_of(directory.get());
    const pid_t session = getsid(pid);
    const auto start_time = stat ? platform::parse_stat_start_time(*stat) : std::nullopt;
    const auto ruid = status ? parse_status_real_id(*status, "Uid:") : std::nullopt;
    const auto rgid = status ? parse_status_real_id(*status, "Gid:") : std::nullopt;
    const auto auid = login_uid ? parse_number<std::uint32_t>(trim_line_end(*login_uid)) : std::nullopt;
    // Alive after the directory was opened and read, the pinned process is the one the directory names.
    if (!start_time || !ruid || !rgid || !auid || !executable || session < 0 || !is_alive(pidfd.get())) {
        return gone();
    }
    audit_token_t token;
    token.auid = *auid;
    token.euid = credentials.uid;
    token.egid = credentials.gid;
    token.ruid = *ruid;
    token.rgid = *rgid;
    token.pid = static_cast<std::uint32_t>(pid);
    token.session_id = static_cast<std::uint32_t>(session);
    token.pid_version = static_cast<std::uint32_t>(*start_time);
    return peer_process_t(token, std::move(directory), std::move(status_file), *executable);
}

bool peer_process_t::runs_admitted_executable() const {
    // Through the directory: once the process has ended, nothing is found there, whoever has its pid now.
    const auto now = executable_of(process_directory_.get());
    return now && *now == executable_;
}

}  // namespace platform::xpc
