#include "support/trace_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "support/trace_format.h"

namespace support {
namespace {

// Keeps its value alive past the end of main: detached threads may still write records then.
template <class T>
union never_destroyed_t {
    never_destroyed_t() : value() {}
    ~never_destroyed_t() {}
    T value;
};

// Readable and writable by its owner only.
constexpr mode_t kTraceFileMode = 0600;

thread_local std::int32_t thread_tag = 0;
thread_local char scratch_area[kTraceScratchSize];

// Opens the path afresh. The caller holds the trace log's lock.
bool reopen_trace_file(trace_log_t& log) {
    const int descriptor = open_private_trace_file(log.path.c_str());
    struct stat info {};
    if (descriptor < 0 || fstat(descriptor, &info) != 0) {
        std::fprintf(stderr, "Error opening logfile (%d)\n", errno);
        if (descriptor >= 0) {
            close(descriptor);
        }
        return false;
    }
    lseek(descriptor, 0, SEEK_END);
    log.descriptor = descriptor;
    log.file_device = info.st_dev;
    log.file_inode = info.st_ino;
    log.file_locked = false;
    log.file_look_due = std::chrono::steady_clock::now() + log.file_look_interval;
    return true;
}

// Whether the descriptor still names the file it was opened on; narrows the file again if it was widened
// since. Sets when the next look is due.
bool still_names_trace_file(trace_log_t& log) {
    struct stat info {};
    if (fstat(log.descriptor, &info) != 0 || info.st_dev != log.file_device ||
        info.st_ino != log.file_inode) {
        return false;
    }
    if ((info.st_mode & 07777) != kTraceFileMode) {
        static_cast<void>(fchmod(log.descriptor, kTraceFileMode));
    }
    log.file_look_due = std::chrono::steady_clock::now() + log.file_look_interval;
    return true;
}

// The descriptor stays open between records. One found to be invalid, or to name another file, is
// forgotten without a close: its number may already belong to a file opened elsewhere in the process.
// What it names is looked at when a look is due; in between, a descriptor that has become invalid is
// found out by the file lock (EBADF), which every record takes anyway.
bool open_trace_file(trace_log_t& log) {
    if (log.descriptor >= 0) {
        if (std::chrono::steady_clock::now() < log.file_look_due || still_names_trace_file(log)) {
            return true;
        }
        log.descriptor = -1;
    }
    return reopen_trace_file(log);
}

// One try for the exclusive lock; -1 with EWOULDBLOCK when another descriptor holds it.
int try_flock(int descriptor) {
    int result = 0;
    do {
        result = flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

// The exclusive lock, polled for at most `wait` (so that the wait has an end without signals); -1 with
// EWOULDBLOCK when it stayed taken.
int flock_within(int descriptor, std::chrono::steady_clock::duration wait) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + wait;
    std::chrono::microseconds pause{50};
    for (;;) {
        if (try_flock(descriptor) == 0) {
            return 0;
        }
        if (errno != EWOULDBLOCK) {
            return -1;
        }
        const clock::time_point now = clock::now();
        if (now >= deadline) {
            errno = EWOULDBLOCK;
            return -1;
        }
        std::this_thread::sleep_for(std::min<clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds{5000});
    }
}

enum class file_lock_t { held, not_held_write_anyway, record_lost };

// Takes the lock, waiting unless a wait ran out lately. Past the wait the record is written without it.
// A free lock, the usual case, is taken without a look at the clock.
int lock_or_rest(trace_log_t& log) {
    using clock = std::chrono::steady_clock;
    if (const int result = try_flock(log.descriptor); result == 0 || errno != EWOULDBLOCK) {
        return result;
    }
    if (clock::now() < log.file_lock_rest_until) {
        errno = EWOULDBLOCK;
        return -1;
    }
    const int result = flock_within(log.descriptor, log.file_lock_wait);
    if (result != 0 && errno == EWOULDBLOCK) {
        std::fputs("Error. Could not obtain lock on file.\n", stderr);
        log.file_lock_rest_until = clock::now() + kTraceFileLockRest;
        errno = EWOULDBLOCK;
    }
    return result;
}

file_lock_t lock_trace_file(trace_log_t& log) {
    // Our records always release the lock they took; one still held would be released first.
    if (log.file_locked) {
        flock(log.descriptor, LOCK_UN);
        log.file_locked = false;
    }
    int result = lock_or_rest(log);
    if (result != 0 && errno == EBADF) {
        log.descriptor = -1;
        if (!reopen_trace_file(log)) {
            std::fputs("Error. Could not reopen logfile.\n", stderr);
            return file_lock_t::record_lost;
        }
        result = lock_or_rest(log);
        if (result != 0 && errno != EWOULDBLOCK) {
            std::fputs("Error. Could not obtain lock on file.\n", stderr);
        }
    } else if (result != 0 && errno != EWOULDBLOCK) {
        std::fprintf(stderr, "Error. Could not flock file (%d)\n", errno);
        return file_lock_t::record_lost;
    }
    if (result != 0) {
        return file_lock_t::not_held_write_anyway;
    }
    log.file_locked = true;
    return file_lock_t::held;
}

// Writes at `offset`, or at the file position when offset is negative. False after a failed write.
bool write_all(int descriptor, const char* data, std::size_t size, off_t offset = -1) {
    while (size > 0) {
        const ssize_t written =
            offset < 0 ? write(descriptor, data, size) : pwrite(descriptor, data, size, offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            std::fprintf(stderr, "Write failed (%d)\n", written < 0 ? errno : EIO);
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        if (offset >= 0) {
            offset += written;
        }
    }
    return true;
}

// Moves `size` bytes from `from` to `to` (to < from) front to back: each step reads only bytes that lie
// ahead of everything written so far. Returns the bytes moved.
off_t move_bytes_forward(int descriptor, off_t from, off_t to, off_t size) {
    // In-kernel copies, each at most the distance between source and target so that they never overlap.
    const off_t step = from - to;
    off_t moved = 0;
    while (moved < size) {
        loff_t source = from + moved;
        loff_t target = to + moved;
        const ssize_t copied = copy_file_range(descriptor, &source, descriptor, &target,
                                               static_cast<std::size_t>(std::min(step, size - moved)), 0);
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied <= 0) {
            break;
        }
        moved += copied;
    }
    // A file system without in-kernel copies: through a buffer. The trace log's lock guards it.
    static char buffer[1 << 16];
    while (moved < size) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<off_t>(sizeof buffer, size - moved));
        const ssize_t got = pread(descriptor, buffer, wanted, from + moved);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || !write_all(descriptor, buffer, static_cast<std::size_t>(got), to + moved)) {
            break;
        }
        moved += got;
    }
    return moved;
}

// Where the first line that begins at or after `from` begins: just past the first line feed from
// `from - 1` on; `end` when no line begins before it. Absent when the file cannot be read.
std::optional<off_t> next_line_start(int descriptor, off_t from, off_t end) {
    char buffer[4096];
    off_t offset = from - 1;
    while (offset < end) {
        const ssize_t got =
            pread(descriptor, buffer, static_cast<std::size_t>(std::min<off_t>(sizeof buffer, end - offset)),
                  offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        if (const void* feed = std::memchr(buffer, '\n', static_cast<std::size_t>(got))) {
            return offset + (static_cast<const char*>(feed) - buffer) + 1;
        }
        offset += got;
    }
    return end;
}

// Keeps the newest whole lines within limit - limit / 10 bytes, so that the file still begins with a
// record: a cut inside a line would let a text of a client's that the cut falls into pass for one.
void truncate_trace_file(int descriptor, off_t position, std::uint32_t limit) {
    const off_t keep = limit - limit / 10;
    const std::optional<off_t> start = next_line_start(descriptor, position - keep, position);
    if (!start) {
        return;
    }
    const off_t kept = position - *start;
    const off_t moved = move_bytes_forward(descriptor, *start, 0, kept);
    if (moved > 0 || kept == 0) {
        static_cast<void>(ftruncate(descriptor, moved));
    }
}

}  // namespace

int open_private_trace_file(const char* path) noexcept {
    return open_private_trace_file_at(AT_FDCWD, path);
}

int open_private_trace_file_at(int directory, const char* name) noexcept {
    // O_NOFOLLOW: the fall-back trace directories lie in places other users can write to, and a root
    // process must not be led into another file by a planted link. O_CLOEXEC: tools we start get no copy.
    const int descriptor =
        openat(directory, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, kTraceFileMode);
    if (descriptor < 0) {
        return -1;
    }
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        close(descriptor);
        errno = EPERM;
        return -1;
    }
    // A file left wider by an earlier version, or made under an odd umask, gets exactly this mode.
    // Descriptors that others opened before stay theirs; the bounded lock wait allows for them.
    if ((info.st_mode & 07777) != kTraceFileMode && fchmod(descriptor, kTraceFileMode) != 0) {
        const int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

trace_log_t& trace_log() {
    static never_destroyed_t<trace_log_t> instance;
    return instance.value;
}

void trace_log_init() {
    trace_log_t& log = trace_log();
    std::lock_guard guard(log.lock);
    if (log.descriptor >= 0) {
        close(log.descriptor);
    }
    log.descriptor = -1;
    log.file_locked = false;
    log.file_lock_wait = kTraceFileLockWait;
    log.file_lock_rest_until = {};
    log.file_look_interval = kTraceFileLookInterval;
    log.file_look_due = {};
    log.path = string_t();
    log.size_limit = kDefaultTraceSizeLimit;
    log.process_name[0] = '\0';
    log.output_enabled.store(true);
}

void set_trace_path(const string_t& path) {
    trace_log_t& log = trace_log();
    std::lock_guard guard(log.lock);
    log.path = path;
}

void set_process_name(const char* name) {
    trace_log_t& log = trace_log();
    std::lock_guard guard(log.lock);
    std::snprintf(log.process_name, sizeof log.process_name, "%s", name == nullptr ? "" : name);
}

void set_thread_trace_tag(std::int32_t tag) noexcept {
    thread_tag = tag;
}

std::int32_t thread_trace_tag() noexcept {
    return thread_tag;
}

char* thread_scratch_area() noexcept {
    return scratch_area;
}

void trace_write(int level, const char* name, const char* format, va_list arguments) {
    trace_log_t& log = trace_log();
    if (!log.output_enabled.load(std::memory_order_relaxed) ||
        (level != kTraceLevelVerbose && level > kTraceThreshold)) {
        return;
    }
    std::lock_guard guard(log.lock);
    if (!open_trace_file(log)) {
        std::fputs("Logging error.", stderr);
        return;
    }

    char converted[kTraceFormatSize];
    copy_format_with_narrow_strings(format, converted, sizeof converted);
    char formatted[kTraceMessageSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(formatted, sizeof formatted, converted, arguments);
#pragma GCC diagnostic pop
    // Arguments may hold client text: a line break in it must not start a record of its own.
    char message[kTraceMessageSize];
    escape_trace_message(formatted, message, sizeof message);

    char thread_name[kThreadNameSize];
    current_thread_display_name(thread_name);
    trace_line_fields_t fields;
    fields.level_text = trace_level_text(level);
    fields.time = current_trace_time();
    fields.process_name = log.process_name;
    fields.thread_name = thread_name;
    fields.process_id = current_process_id();
    fields.thread_id = current_thread_id();
    fields.thread_tag = thread_tag;
    fields.handle_name = name == nullptr ? "" : name;
    fields.message = message;
    char line[kTraceLineSize];
    const std::size_t length = build_trace_line(fields, line);

    const file_lock_t file_lock = lock_trace_file(log);
    if (file_lock == file_lock_t::record_lost) {
        return;
    }
    const int descriptor = log.descriptor;
    lseek(descriptor, 0, SEEK_END);
    if (!write_all(descriptor, line, length)) {
        // The descriptor may have come to name something else: the next record looks.
        log.file_look_due = {};
    }
    const off_t position = lseek(descriptor, 0, SEEK_END);
    if (position < 0) {
        std::printf("ERROR: %d\n", errno);
    } else if (position > static_cast<off_t>(log.size_limit)) {
        truncate_trace_file(descriptor, position, log.size_limit);
    }
    if (file_lock == file_lock_t::held) {
        flock(descriptor, LOCK_UN);
        log.file_locked = false;
    }
}

}  // namespace support
