#pragma once
// The process-wide trace log: one file shared by every trace_t handle (and by other processes), written one
// whole line per record under an exclusive file lock, and cut to its newest lines past a size limit.

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "support/recursive_lock.h"
#include "support/string.h"

namespace support {

inline constexpr std::uint32_t kDefaultTraceSizeLimit = 1'048'576;
inline constexpr std::size_t kProcessNameSize = 17;
inline constexpr std::size_t kTraceScratchSize = 1024;

inline constexpr int kTraceLevelError = 4;
inline constexpr int kTraceLevelWarning = 5;
inline constexpr int kTraceLevelInfo = 6;
inline constexpr int kTraceLevelVerbose = 9;
// Records above this level are dropped, except verbose ones.
inline constexpr int kTraceThreshold = kTraceLevelInfo;

// How long a record waits for the file lock that another descriptor holds before it is written without
// it. Our own writers hold it for one write; whoever holds it longer must not stall the helper.
inline constexpr std::chrono::milliseconds kTraceFileLockWait{100};
// After a wait ran out, records take the lock only when it is free at once, for this long: a holder that
// lets go now and then costs the helper one wait a minute, not one per record.
inline constexpr std::chrono::seconds kTraceFileLockRest{60};

// Records look at what their descriptor names (still the file it was opened on, still of its private
// mode) when they open it, after a failed write, and otherwise once in this interval: a status call at
// every record would make the kernel stamp each write's times to the nanosecond, which costs more than
// the write itself.
inline constexpr std::chrono::seconds kTraceFileLookInterval{1};

struct trace_log_t {
    string_t path;
    std::int32_t descriptor = -1;
    // What the descriptor was opened on: a descriptor number that another file has taken over since is
    // neither narrowed nor, once a look has found it out, written to.
    std::uint64_t file_device = 0;
    std::uint64_t file_inode = 0;
    // kTraceFileLookInterval; tests shorten it.
    std::chrono::steady_clock::duration file_look_interval = kTraceFileLookInterval;
    // The first record from then on looks at the file.
    std::chrono::steady_clock::time_point file_look_due{};
    recursive_lock_t lock;
    // Above this many bytes the file is cut to its newest whole lines within limit - limit / 10 bytes.
    std::uint32_t size_limit = kDefaultTraceSizeLimit;

    // Whether the descriptor holds the exclusive file lock of a record in progress.
    bool file_locked = false;
    // kTraceFileLockWait; tests that hold the lock themselves lengthen it.
    std::chrono::steady_clock::duration file_lock_wait = kTraceFileLockWait;
    // Until then records do not wait for the file lock: set when a wait ran out.
    std::chrono::steady_clock::time_point file_lock_rest_until{};
    char process_name[kProcessNameSize] = {};
    std::atomic<bool> output_enabled{true};
};

// The one trace log. It is never destroyed, so threads still writing while the process exits find it whole.
[[nodiscard]] trace_log_t& trace_log();

// Puts the trace log back to its initial state: no path, no open file, the default limit. Called first
// thing at start-up; tests call it to start over.
void trace_log_init();

// Opens `path` for records: read and write, created when missing, never through a link as its last
// component, and left readable and writable by its owner only, whatever the umask or its earlier mode,
// so that no other user can open it and hold its lock. -1 with errno set when it cannot be opened, or
// (EPERM) is no regular file or belongs to another user.
[[nodiscard]] int open_private_trace_file(const char* path) noexcept;
// The same for `name` in the opened directory `directory`.
[[nodiscard]] int open_private_trace_file_at(int directory, const char* name) noexcept;

// The file is opened by the next record, not here.
void set_trace_path(const string_t& path);
// Cut to 16 characters.
void set_process_name(const char* name);

// Writes one record; never fails the caller (problems go to standard error).
void trace_write(int level, const char* name, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// The calling thread's tag, printed in its records when not 0.
void set_thread_trace_tag(std::int32_t tag) noexcept;
[[nodiscard]] std::int32_t thread_trace_tag() noexcept;

// A scratch area per thread in which callers may build texts, even the format of a record.
[[nodiscard]] char* thread_scratch_area() noexcept;

}  // namespace support
