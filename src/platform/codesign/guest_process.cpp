#include "platform/codesign/guest_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <string>

#include "platform/codesign/codesign.h"
#include "platform/process_info.h"

namespace platform::codesign {
namespace {

std::string proc_path(pid_t pid, std::string_view entry) {
    return "/proc/" + std::to_string(pid) + "/" + std::string(entry);
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Through syscall(2): this glibc's <sys/pidfd.h> lacks C linkage for C++ callers.
int open_pidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}
bool pidfd_alive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0U) == 0;
}

bool matches_token_start(pid_t pid, std::uint32_t pid_version) {
    const auto start = platform::process_start_time(pid);
    return start && static_cast<std::uint32_t>(*start) == pid_version;
}

}  // namespace

bool environment_injects_code(std::string_view environment_block) {
    constexpr std::array<std::string_view, 3> kInjecting = {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT"};
    while (!environment_block.empty()) {
        const std::size_t end = environment_block.find('\0');
        const std::string_view entry = environment_block.substr(0, end);
        const std::string_view name = entry.substr(0, entry.find('='));
        for (std::string_view injecting : kInjecting) {
            if (name == injecting) {
                return true;
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        environment_block.remove_prefix(end + 1);
    }
    return false;
}

std::optional<std::uint64_t> parse_tracer_pid(std::string_view status_text) {
    constexpr std::string_view kKey = "TracerPid:";
    std::size_t at = 0;
    while (at < status_text.size()) {
        const std::size_t end = status_text.find('\n', at);
        std::string_view line = status_text.substr(at, end == std::string_view::npos ? end : end - at);
        if (line.starts_with(kKey)) {
            line.remove_prefix(kKey.size());
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
                line.remove_prefix(1);
            }
            return parse_unsigned(line);
        }
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 1;
    }
    return std::nullopt;
}

bool guest_still_running(const guest_process_t& guest) {
    // The pidfd turns readable when the process exits; until then its pid cannot name another process.
    pollfd poll_fd{guest.pidfd.get(), POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&poll_fd, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready != 0 || !pidfd_alive(guest.pidfd.get())) {
        return false;
    }
    return matches_token_start(guest.pid, guest.pid_version);
}

namespace {

// Pins the token's process: pidfd first, then a check that the pinned process is the token's, since a pid
// reused before the pidfd was opened shows another start time.
bool pin_token_process(const audit_token_t& token, guest_process_t& guest) {
    if (token.pid == 0 || token.pid > static_cast<std::uint32_t>(INT_MAX)) {
        return false;
    }
    guest.pid = static_cast<pid_t>(token.pid);
    guest.pid_version = token.pid_version;
    guest.pidfd.reset(open_pidfd(guest.pid));
    return guest.pidfd.valid() && matches_token_start(guest.pid, guest.pid_version);
}

}  // namespace

os_status_t open_guest(const audit_token_t& token, guest_process_t& out) {
    guest_process_t guest;
    if (!pin_token_process(token, guest)) {
        return errSecCSNoSuchCode;
    }
    guest.executable.reset(::open(proc_path(guest.pid, "exe").c_str(), O_RDONLY | O_CLOEXEC));
    if (!guest.executable.valid() || !guest_still_running(guest)) {
        return errSecCSNoSuchCode;
    }
    out = std::move(guest);
    return errSecSuccess;
}

namespace {

// No pid is this large; stands for a status without a readable TracerPid.
constexpr std::uint64_t kNoTracerField = UINT64_MAX;

// The rules that hold for the guest's whole life: no tracer, and no code but its signed executable and
// root's own files. What was read belongs to the guest only if it is still the same running process
// afterwards.
os_status_t check_running_guest(const guest_process_t& guest, const file_identity_t& executable,
                                std::string* reason) {
    const auto status = platform::read_process_entry(guest.pid, "status");
    const std::uint64_t tracer = status ? parse_tracer_pid(*status).value_or(kNoTracerField) : kNoTracerField;
    auto foreign_code = platform::foreign_code_in_process(guest.pid, executable);
    if (!guest_still_running(guest)) {
        return errSecCSNoSuchCode;
    }
    if (tracer == kNoTracerField) {
        foreign_code = "its tracer cannot be read";
    } else if (tracer != 0) {
        foreign_code = "it is traced by process " + std::to_string(tracer);
    }
    if (foreign_code) {
        if (reason != nullptr) {
            *reason = std::move(*foreign_code);
        }
        return errSecCSGuestInvalid;
    }
    return errSecSuccess;
}

}  // namespace

os_status_t check_hardened_runtime(const guest_process_t& guest, int executable_fd) {
    struct stat executable {};
    if (::fstat(executable_fd, &executable) != 0) {
        return errSecCSGuestInvalid;
    }
    const auto environment = platform::read_process_entry(guest.pid, "environ");
    if (!environment || environment_injects_code(*environment)) {
        return errSecCSGuestInvalid;
    }
    // At admission a guest that has gone meanwhile is as invalid as one that runs foreign code.
    const os_status_t status = check_running_guest(guest, {executable.st_dev, executable.st_ino}, nullptr);
    return status == errSecSuccess ? errSecSuccess : errSecCSGuestInvalid;
}

os_status_t check_admitted_guest(const audit_token_t& token, const file_identity_t& executable,
                                 std::string* reason) {
    guest_process_t guest;
    if (!pin_token_process(token, guest)) {
        return errSecCSNoSuchCode;
    }
    return check_running_guest(guest, executable, reason);
}

}  // namespace platform::codesign
