#pragma once
// The application's processes as the system's process list shows them ("pid,args" lines). Pure text work:
// no process is looked at here, so the parser can be fed anything.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace commands {

// The application executable relative to its bundle; a process belongs to the application when its
// command line contains it.
inline constexpr std::string_view kExecutableMarker = "Contents/MacOS/Quorvix";

// Roles in the order they are ended. A flag not listed here has position -1 and goes first.
inline constexpr std::array<std::string_view, 6> kRoleOrder = {
    "", "--frontend", "--backend", "--local-service", "--service", "--control",
};

struct process_record_t {
    std::string pid;       // the decimal text the list shows
    pid_t process_id = 0;  // that text read as a number, always > 0
    std::string arg;       // the role flag ("--..." as last word), else ""
    std::string exe;       // the executable path, ending with the marker
    // The start-time tick at which the listing began: a process at this pid that started at or after it
    // is not the one listed. 0 (as the parser leaves it) matches no process.
    std::uint64_t listing_tick = 0;
};

enum class reject_reason_t {
    no_blank_after_pid,        // warning
    invalid_pid,               // error: 0 or a negative number would reach whole process groups
    marker_not_in_executable,  // warning: the marker is only in the flag
};

struct rejected_line_t {
    std::string line;  // the line trimmed of blanks and tabs
    reject_reason_t reason;
};

struct process_list_t {
    std::vector<process_record_t> records;  // in listing order
    std::vector<rejected_line_t> rejected;
};

// Parses the raw output of the process list. Output that is not UTF-8 yields nothing at all.
[[nodiscard]] process_list_t parse_process_list(std::string_view output);

// The index of the flag in kRoleOrder, or -1.
[[nodiscard]] int role_position(std::string_view flag);

// Orders records by role position; records of one role keep their listing order.
void sort_by_role(std::vector<process_record_t>& records);

[[nodiscard]] bool is_error(reject_reason_t reason);
[[nodiscard]] std::string_view describe(reject_reason_t reason);

}  // namespace commands
