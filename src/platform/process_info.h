#pragma once
// What /proc tells about a process, among it its start time, which with the pid names one process for good.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/owned_fd.h"

namespace platform {

// Field 22 (start time, clock ticks since boot) of a /proc/<pid>/stat line. The command name in
// parentheses may itself hold blanks and ")", so the fields are counted from its last ")".
[[nodiscard]] std::optional<std::uint64_t> parse_stat_start_time(std::string_view stat_line);

// The content of /proc/<pid>/<entry>, from the live kernel and never under the system root; absent when it
// cannot be read or is implausibly large (an initial environment or command line is bounded by the kernel's
// argument limits).
[[nodiscard]] std::optional<std::string> read_process_entry(pid_t pid, std::string_view entry);
// The same below an opened /proc/<pid> directory, which names its process for good: once that process is
// gone nothing can be read through it, even when its pid names another process by then.
[[nodiscard]] std::optional<std::string> read_process_entry_at(int process_directory, std::string_view entry);
// An entry such as "status" opened from such a directory, to be read again and again; invalid when its
// process is gone.
[[nodiscard]] owned_fd_t open_process_entry(int process_directory, std::string_view entry);
// Such an entry read again from its start: the kernel writes it anew for each read, and nothing can be read
// once its process is gone.
[[nodiscard]] std::optional<std::string> reread_process_entry(int entry_file);

// The path of the running executable, as [[NSBundle mainBundle] executablePath] gives it; absent when it
// cannot be read.
[[nodiscard]] std::optional<std::string> own_executable_path();

// The start time of a live process; absent when it cannot be read.
[[nodiscard]] std::optional<std::uint64_t> process_start_time(pid_t pid);

// Waits until the clock that start times count (ticks since boot) begins its next tick, and returns that
// tick: every process whose start time lies below it had started before the call returned.
[[nodiscard]] std::uint64_t wait_for_next_start_time_tick();

}  // namespace platform
