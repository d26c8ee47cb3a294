#pragma once
// The pieces of a trace record line: format-text conversion, level texts, thread names and the line itself.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace support {

// Fixed areas of one record; no record needs the heap.
inline constexpr std::size_t kTraceFormatSize = 1024;
inline constexpr std::size_t kTraceMessageSize = 1024;
inline constexpr std::size_t kTraceLineSize = 1152;
inline constexpr std::size_t kThreadNameSize = 32;

// Copies `format` into `out` (cut to size - 1 characters) and turns every "%S" conversion into "%s",
// flags, widths and length modifiers kept.
void copy_format_with_narrow_strings(const char* format, char* out, std::size_t size) noexcept;

// One character of a message as records show it: the `taken` bytes (1 to 4) at the message's start
// become the `size` bytes of `text`, the character itself or its escape. Control characters (C0, DEL, C1)
// become "\n", "\r", "\t", "\xHH" or "\u0085", the line and paragraph separators and the bidirectional
// marks "\u2028", "\u200e" and the like, a byte that is no UTF-8 "\xHH", and a backslash is doubled so
// that an escape cannot be forged.
struct trace_character_t {
    char text[6] = {};
    std::size_t size = 0;
    std::size_t taken = 0;
};
// `message` must not be empty.
[[nodiscard]] trace_character_t escape_trace_character(std::string_view message) noexcept;

// Copies a formatted message into `out`, each character escaped, so that it shows as one line whatever a
// client put into it. Cut to size - 1 characters before an escape or character that would not fit whole.
void escape_trace_message(const char* message, char* out, std::size_t size) noexcept;

// "error", "info", ...; "invalid" for a number that is no level.
[[nodiscard]] const char* trace_level_text(int level) noexcept;

// The calling thread's name as records show it: "main" for the product name, empty when unnamed. It is
// read once per thread, at the first record.
void current_thread_display_name(char (&out)[kThreadNameSize]) noexcept;

// Renames the calling thread; records written afterwards show the new name. A thread renamed directly
// through pthread_setname_np after its first record keeps showing its earlier name.
void set_current_thread_name(const char* name) noexcept;

// The time fields of a record: UTC calendar fields and the milliseconds.
struct trace_time_t {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};
[[nodiscard]] trace_time_t current_trace_time() noexcept;

struct trace_line_fields_t {
    const char* level_text = "";
    trace_time_t time;
    const char* process_name = "";
    const char* thread_name = "";
    std::uint32_t process_id = 0;
    std::uint64_t thread_id = 0;
    std::int32_t thread_tag = 0;
    const char* handle_name = "";
    const char* message = "";
};

// Builds the record line into `line` and returns its length. A line that does not fit is cut but keeps
// its final line feed, so the next record still starts a line of its own.
[[nodiscard]] std::size_t build_trace_line(const trace_line_fields_t& fields,
                                           char (&line)[kTraceLineSize]) noexcept;

}  // namespace support
