#include "support/trace_format.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/product.h"

namespace support {
namespace {

// Characters that continue a conversion after "%": argument positions, flags, widths, precisions and the
// length modifiers h and l.
bool continues_conversion(char c) noexcept {
    return (c >= '0' && c <= '9') || c == '$' || c == '*' || c == '-' || c == '.' || c == 'h' || c == 'l';
}

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

void current_thread_display_name(char (&out)[kThreadNameSize]) noexcept {
    if (pthread_getname_np(pthread_self(), out, kThreadNameSize) != 0) {
        out[0] = '\0';
    }
    if (std::strcmp(out, kProductName) == 0) {
        std::snprintf(out, kThreadNameSize, "%s", "main");
    }
}

trace_time_t current_trace_time() noexcept {
    // One reading for both the calendar second and the milliseconds, so they never disagree.
    timeval now{};
    gettimeofday(&now, nullptr);
    const std::time_t seconds = now.tv_sec;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return {utc.tm_year + 1900,
            utc.tm_mon + 1,
            utc.tm_mday,
            utc.tm_hour,
            utc.tm_min,
            utc.tm_sec,
            static_cast<int>(now.tv_usec / 1000)};
}

std::size_t build_trace_line(const trace_line_fields_t& fields, char (&line)[kTraceLineSize]) noexcept {
    char tag[16] = "";
    if (fields.thread_tag != 0) {
        std::snprintf(tag, sizeof tag, "%d", static_cast<int>(fields.thread_tag));
    }
    const trace_time_t& t = fields.time;
    const int written = std::snprintf(
        line, sizeof line, "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n",
        fields.level_text, t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
        fields.process_name, fields.thread_name, static_cast<unsigned>(fields.process_id),
        static_cast<unsigned long long>(fields.thread_id), tag, fields.handle_name, fields.message);
    if (written < 0) {
        line[0] = '\n';
        line[1] = '\0';
        return 1;
    }
    if (static_cast<std::size_t>(written) < sizeof line) {
        return static_cast<std::size_t>(written);
    }
    const std::size_t length = sizeof line - 1;
    line[length - 1] = '\n';
    return length;
}

}  // namespace support
