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
#include "platform/service_accounts.h"

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
    guest.effective_user = token.euid;
    guest.effective_group = token.egid;
    guest.pidfd.reset(open_pidfd(guest.pid));
    return guest.pidfd.valid() && matches_token_start(guest.pid, guest.pid_version);
}

}  // namespace

os_status_t open_guest(const audit_token_t& token, guest_process_t& out) {
    guest_process_t guest;
    if (!pin_token_process(token, guest)) {
        return errSecCSNoSuchCode;
    }
    guest.executable.reset(::open(proc_path(guest.pid, "exe").c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!guest.executable.valid() || !guest_still_running(guest)) {
        return errSecCSNoSuchCode;
    }
    out = std::move(guest);
    return errSecSuccess;
}

namespace {

// No pid is this large; stands for a status without a readable TracerPid.
constexpr std::uint64_t kNoTracerField = UINT64_MAX;

// The rule that holds for the guest's whole life: no tracer. The status file is the kernel's own
// bookkeeping, read without touching the guest's memory.
os_status_t tracer_rule(const std::optional<std::string>& status, std::string* reason) {
    const std::uint64_t tracer = status ? parse_tracer_pid(*status).value_or(kNoTracerField) : kNoTracerField;
    if (tracer == 0) {
        return errSecSuccess;
    }
    if (reason != nullptr) {
        *reason = tracer == kNoTracerField ? "its tracer cannot be read"
                                           : "it is traced by process " + std::to_string(tracer);
    }
    return errSecCSGuestInvalid;
}

}  // namespace

os_status_t check_hardened_runtime(const guest_process_t& guest) {
    if (!platform::kernel_vouches_for_peer(guest.effective_user, guest.effective_group)) {
        return errSecCSGuestInvalid;
    }
    // What was read is the guest's only if it still runs afterwards; at admission a guest that has gone
    // meanwhile is as invalid as a traced one.
    const auto status = platform::read_process_entry(guest.pid, "status");
    return tracer_rule(status, nullptr) == errSecSuccess && guest_still_running(guest) ? errSecSuccess
                                                                                       : errSecCSGuestInvalid;
}

os_status_t check_admitted_guest(int status_file, std::string* reason) {
    const auto status = platform::reread_process_entry(status_file);
    return status ? tracer_rule(status, reason) : errSecCSNoSuchCode;
}

}  // namespace platform::codesign
