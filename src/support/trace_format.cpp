#include "support/trace_format.h"

#include <pthread.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "platform/thread_name.h"
#include "support/product.h"

namespace support {
namespace {

// Characters that continue a conversion after "%": argument positions, flags, widths, precisions and the
// length modifiers h and l.
bool continues_conversion(char c) noexcept {
    return (c >= '0' && c <= '9') || c == '$' || c == '*' || c == '-' || c == '.' || c == 'h' || c == 'l';
}

// Appends printf-style fields to a record line; whatever does not fit in it is dropped.
class line_builder_t {
public:
    explicit line_builder_t(char (&line)[kTraceLineSize]) noexcept : line_(line) {}

    void put(char c) noexcept {
        if (length_ < kLast) {
            line_[length_] = c;
        }
        ++length_;
    }

    // "%<width>s": right-aligned in at least `width` columns.
    void text(const char* value, std::size_t width) noexcept {
        const std::size_t size = std::strlen(value);
        pad(size, width, ' ');
        const std::size_t room = length_ < kLast ? kLast - length_ : 0;
        std::memcpy(line_ + std::min(length_, kLast), value, std::min(size, room));
        length_ += size;
    }

    // "%<width>llu".
    void unsigned_number(std::uint64_t value, std::size_t width) noexcept {
        char digits[24];
        const std::size_t count = to_digits(value, digits);
        pad(count, width, ' ');
        put_digits(digits, count);
    }

    // "%0<width>i" with fill '0', "%<width>i" with fill ' '.
    void signed_number(std::int64_t value, std::size_t width, char fill) noexcept {
        char digits[24];
        const bool negative = value < 0;
        const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                                 : static_cast<std::uint64_t>(value);
        const std::size_t count = to_digits(magnitude, digits);
        const std::size_t size = count + (negative ? 1 : 0);
        if (fill == '0') {
            if (negative) {
                put('-');
            }
            pad(size, width, '0');
        } else {
            pad(size, width, ' ');
            if (negative) {
                put('-');
            }
        }
        put_digits(digits, count);
    }

    // "%0<width>i" for the fields of the time: most have exactly `width` digits, written in place.
    void zero_padded(std::int64_t value, std::size_t width) noexcept {
        static constexpr std::int64_t kLimits[] = {1, 10, 100, 1000, 10000};
        if (width >= std::size(kLimits) || value < 0 || value >= kLimits[width] || length_ + width > kLast) {
            signed_number(value, width, '0');
            return;
        }
        for (std::size_t i = width; i > 0; --i) {
            line_[length_ + i - 1] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        length_ += width;
    }

    // A line longer than the area is cut there and still ends with its line feed.
    std::size_t finish() noexcept {
        if (length_ > kLast) {
            length_ = kLast;
            line_[kLast - 1] = '\n';
        }
        line_[length_] = '\0';
        return length_;
    }

private:
    static constexpr std::size_t kLast = kTraceLineSize - 1;

    void pad(std::size_t size, std::size_t width, char fill) noexcept {
        if (size >= width) {
            return;
        }
        if (length_ < kLast) {
            std::memset(line_ + length_, fill, std::min(width - size, kLast - length_));
        }
        length_ += width - size;
    }

    // Digits most significant last.
    static std::size_t to_digits(std::uint64_t value, char (&digits)[24]) noexcept {
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        return count;
    }

    void put_digits(const char (&digits)[24], std::size_t count) noexcept {
        while (count > 0) {
            put(digits[--count]);
        }
    }

    char* line_;
    std::size_t length_ = 0;
};

}  // namespace

void copy_format_with_narrow_strings(const char* format, char* out, std::size_t size) noexcept {
    if (size == 0) {
        return;
    }
    std::size_t length = 0;
    if (format != nullptr) {
        while (length + 1 < size && format[length] != '\0') {
            out[length] = format[length];
            ++length;
        }
    }
    out[length] = '\0';

    for (std::size_t i = 0; i < length; ++i) {
        if (out[i] != '%') {
            continue;
        }
        std::size_t end = i + 1;
        while (end < length && continues_conversion(out[end])) {
            ++end;
        }
        if (end < length && out[end] == 'S') {
            out[end] = 's';
        }
        // Whatever ended the conversion (a letter, "%" or any other character) is not a new conversion.
        i = end;
    }
}

namespace {

// The length of the well-formed UTF-8 character at the start of `text` and its code point; 0 when the
// bytes there are no such character (overlong forms, surrogates and cut sequences included).
std::size_t decode_utf8(std::string_view text, char32_t& code_point) noexcept {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code_point = lead & 0x1fU;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code_point = lead & 0x0fU;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code_point = lead & 0x07U;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if (next < low || next > high) {
            return 0;
        }
        low = 0x80;
        high = 0xbf;
        code_point = (code_point << 6) | (next & 0x3fU);
    }
    return length;
}

// Characters beyond ASCII that break a line or reorder it in a reader's view: C1 controls, the line and
// paragraph separators, and the bidirectional marks, embeddings, overrides and isolates.
bool escaped_code_point(char32_t c) noexcept {
    return (c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029 || c == 0x200e || c == 0x200f ||
           c == 0x061c || c == 0xfeff || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// A byte that records show as it is: printable ASCII, the backslash excepted.
bool plain_ascii(char byte) noexcept {
    return byte >= 0x20 && byte < 0x7f && byte != '\\';
}

}  // namespace

trace_character_t escape_trace_character(std::string_view message) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    trace_character_t out;
    const auto c = static_cast<unsigned char>(message[0]);
    char32_t code_point = 0;
    if (c == '\\') {
        out.text[0] = out.text[1] = '\\';
        out.size = 2;
        out.taken = 1;
    } else if (c == '\n' || c == '\r' || c == '\t') {
        out.text[0] = '\\';
        out.text[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        out.size = 2;
        out.taken = 1;
    } else if (plain_ascii(message[0])) {
        out.text[0] = static_cast<char>(c);
        out.size = 1;
        out.taken = 1;
    } else if (c >= 0x80 && (out.taken = decode_utf8(message, code_point)) != 0) {
        if (escaped_code_point(code_point)) {
            out.text[0] = '\\';
            out.text[1] = 'u';
            for (int digit = 0; digit < 4; ++digit) {
                out.text[2 + digit] = kHex[(code_point >> (12 - 4 * digit)) & 0xf];
            }
            out.size = 6;
        } else {
            std::memcpy(out.text, message.data(), out.taken);
            out.size = out.taken;
        }
    } else {
        out.text[0] = '\\';
        out.text[1] = 'x';
        out.text[2] = kHex[c >> 4];
        out.text[3] = kHex[c & 0xf];
        out.size = 4;
        out.taken = 1;
    }
    return out;
}

void escape_trace_message(const char* message, char* out, std::size_t size) noexcept {
    if (size == 0) {
        return;
    }
    std::string_view rest(message == nullptr ? "" : message);
    std::size_t length = 0;
    while (!rest.empty()) {
        // Most of a message is plain ASCII: copied a run at a time.
        std::size_t run = 0;
        while (run < rest.size() && plain_ascii(rest[run])) {
            ++run;
        }
        run = std::min(run, size - 1 - length);
        std::memcpy(out + length, rest.data(), run);
        length += run;
        rest.remove_prefix(run);
        if (rest.empty() || length == size - 1) {
            break;
        }
        const trace_character_t character = escape_trace_character(rest);
        if (length + character.size > size - 1) {
            break;
        }
        std::memcpy(out + length, character.text, character.size);
        length += character.size;
        rest.remove_prefix(character.taken);
    }
    out[length] = '\0';
}

const char* trace_level_text(int level) noexcept {
    switch (level) {
        case 1:
            return "explode";
        case 2:
            return "auth";
        case 3:
            return "crash";
        case 4:
            return "error";
        case 5:
            return "warning";
        case 6:
            return "info";
        case 7:
            return "debug";
        case 8:
            return "intern";
        case 9:
            return "verbose";
        default:
            return "invalid";
    }
}

namespace {

// Read from the kernel at a thread's first record and kept: asking for it costs a system call per record.
struct thread_name_cache_t {
    bool known = false;
    char name[kThreadNameSize] = {};
};
thread_local thread_name_cache_t thread_name_cache;

}  // namespace

void set_current_thread_name(const char* name) noexcept {
    pthread_setname_np(pthread_self(), name);
    thread_name_cache.known = false;
}

void current_thread_display_name(char (&out)[kThreadNameSize]) noexcept {
    thread_name_cache_t& cache = thread_name_cache;
    if (!cache.known) {
        platform::current_thread_name(cache.name, kThreadNameSize);
        if (std::strcmp(cache.name, kProductName) == 0) {
            std::snprintf(cache.name, kThreadNameSize, "%s", "main");
        }
        cache.known = true;
    }
    std::memcpy(out, cache.name, kThreadNameSize);
}

trace_time_t current_trace_time() noexcept {
    // One reading for both the calendar second and the milliseconds, so they never disagree.
    timeval now{};
    gettimeofday(&now, nullptr);
    // The calendar fields change once a second: broken down again only then.
    thread_local std::time_t broken_down_second = -1;
    thread_local std::tm utc{};
    if (now.tv_sec != broken_down_second) {
        const std::time_t seconds = now.tv_sec;
        gmtime_r(&seconds, &utc);
        broken_down_second = seconds;
    }
    return {utc.tm_year + 1900,
            utc.tm_mon + 1,
            utc.tm_mday,
            utc.tm_hour,
            utc.tm_min,
            utc.tm_sec,
            static_cast<int>(now.tv_usec / 1000)};
}

std::size_t build_trace_line(const trace_line_fields_t& fields, char (&line)[kTraceLineSize]) noexcept {
    // Same text as "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n", built
    // without printf's parsing: this runs for every record.
    line_builder_t out(line);
    const trace_time_t& t = fields.time;
    out.text(fields.level_text, 7);
    out.put(' ');
    out.zero_padded(t.year, 4);
    out.put('-');
    out.zero_padded(t.month, 2);
    out.put('-');
    out.zero_padded(t.day, 2);
    out.put(' ');
    out.zero_padded(t.hour, 2);
    out.put(':');
    out.zero_padded(t.minute, 2);
    out.put(':');
    out.zero_padded(t.second, 2);
    out.put('.');
    out.zero_padded(t.millisecond, 3);
    out.put(' ');
    out.text(fields.process_name, 10);
    out.put(' ');
    out.text(fields.thread_name, 6);
    out.put(' ');
    out.unsigned_number(fields.process_id, 6);
    out.put(' ');
    out.unsigned_number(fields.thread_id, 6);
    out.put(' ');
    if (fields.thread_tag != 0) {
        out.signed_number(fields.thread_tag, 4, ' ');
    } else {
        out.text("", 4);
    }
    out.put(' ');
    out.text(fields.handle_name, 32);
    out.text(" - ", 0);
    out.text(fields.message, 0);
    out.put('\n');
    return out.finish();
}

}  // namespace support
