#pragma once
// Where the trace file lives: "/var/log/" under the system root when the process may write there, else a
// hidden product directory in the user's home (or $HOME, or /tmp).

#include <sys/stat.h>

#include "support/string.h"

namespace support {

// The user logged in at the console, or "<unknown>".
[[nodiscard]] string_t console_user();

// The home directory for per-user files: the process's user's, or for root the console user's; empty when
// root and the console user is unknown to the system.
[[nodiscard]] string_t user_home_directory();

// Chosen once per process; aborts the process when no directory can hold a trace file.
[[nodiscard]] const string_t& trace_directory();

// The trace directory, "/" and the file name (the directory alone for an empty name).
[[nodiscard]] string_t trace_file_path(const string_t& file_name);

// Whether `info` describes the file that this process writes its records to (the one it holds open, or the
// one its trace path names).
[[nodiscard]] bool is_trace_file(const struct stat& info);

// The choice behind trace_directory(), made afresh: `log_directory` ends in "/" and is probed first, then
// the product's hidden directory in `home`, in $HOME and in `last_base`, in that order (an empty base is
// passed over). A hidden directory that is a link or another user's is passed over too.
[[nodiscard]] string_t choose_trace_directory(const string_t& log_directory, const string_t& home,
                                              const string_t& last_base = "/tmp");

}  // namespace support
