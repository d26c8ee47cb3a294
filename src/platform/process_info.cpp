#include "platform/process_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/user_files.h"

namespace platform {
namespace {

constexpr std::size_t kMaxProcessEntrySize = 16 * 1024 * 1024;

// As the kernel converts a start time: whole ticks of the boot-time clock, rounded down.
std::uint64_t current_start_time_tick() {
    static const std::uint64_t nanoseconds_per_tick =
        1'000'000'000ULL / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto nanoseconds =
        static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(now.tv_nsec);
    return nanoseconds / nanoseconds_per_tick;
}

}  // namespace

std::optional<std::uint64_t> parse_stat_start_time(std::string_view stat) {
    const std::size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string_view::npos) {
        return std::nullopt;
    }
    // After ") " come fields 3, 4, ... separated by single blanks.
    std::size_t position = end_of_name + 1;
    for (int field = 3; field <= 22; ++field) {
        if (position >= stat.size() || stat[position] != ' ') {
            return std::nullopt;
        }
        ++position;
        const std::size_t end = std::min(stat.find_first_of(" \n", position), stat.size());
        if (field == 22) {
            std::uint64_t value = 0;
            const char* first = stat.data() + position;
            const char* last = stat.data() + end;
            const auto [ptr, error] = std::from_chars(first, last, value);
            if (first == last || error != std::errc{} || ptr != last) {
                return std::nullopt;
            }
            return value;
        }
        position = end;
    }
    return std::nullopt;
}

std::optional<std::string> read_process_entry(pid_t pid, std::string_view entry) {
    return read_process_entry_at(AT_FDCWD, "/proc/" + std::to_string(pid) + "/" + std::string(entry));
}

std::optional<std::string> read_process_entry_at(int process_directory, std::string_view entry) {
    const owned_fd_t fd = open_process_entry(process_directory, entry);
    return fd.valid() ? read_to_end(fd.get(), kMaxProcessEntrySize) : std::nullopt;
}

owned_fd_t open_process_entry(int process_directory, std::string_view entry) {
    // The kernel's own files, which no user can replace: opened directly, without the look first that a
    // file a user may name needs. The peer checks read them for every request that can change something.
    return owned_fd_t(::openat(process_directory, std::string(entry).c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
}

std::optional<std::string> reread_process_entry(int entry_file) {
    // The kernel hands such an entry over whole when it fits the buffer, so a short read is its end, and
    // the entry is written only once; a larger one is read on to its end.
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::pread(entry_file, buffer, sizeof buffer, static_cast<off_t>(content.size()));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || content.size() + static_cast<std::size_t>(count) > kMaxProcessEntrySize) {
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(count));
        if (static_cast<std::size_t>(count) < sizeof buffer) {
            return content;
        }
    }
}

std::optional<std::string> own_executable_path() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return path.string();
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
    const auto stat = read_process_entry(pid, "stat");
    return stat ? parse_stat_start_time(*stat) : std::nullopt;
}

std::uint64_t wait_for_next_start_time_tick() {
    const std::uint64_t next = current_start_time_tick() + 1;
    while (current_start_time_tick() < next) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return next;
}

}  // namespace platform
