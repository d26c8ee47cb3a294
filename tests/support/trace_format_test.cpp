#include "support/trace_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(TraceFormat, WideStringConversionsBecomeNarrow) {
    struct conversion_case_t {
        const char* format;
        const char* expected;
    };
    const conversion_case_t cases[] = {
        {"%S", "%s"},
        {"name %S, id %d", "name %s, id %d"},
        {"%-12S|%12S", "%-12s|%12s"},
        {"%1$S %2$S", "%1$s %2$s"},
        {"%*.*S", "%*.*s"},
        {"%hS %lS", "%hs %ls"},
        {"%s stays", "%s stays"},
        // A conversion ends at its letter (or any other character); what follows is plain text.
        {"%dS %xS %uS %pS", "%dS %xS %uS %pS"},
        {"%%S", "%%S"},
        {"%zS", "%zS"},
        {"100%", "100%"},
        {"S without percent", "S without percent"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char out[support::kTraceFormatSize];
        support::copy_format_with_narrow_strings(c.format, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << "format \"" << c.format << "\"";
    }
}

}  // namespace

namespace {

// The record line exactly as the documented format prints it.
std::string printf_line(const support::trace_line_fields_t& f) {
    char tag[16] = "";
    if (f.thread_tag != 0) {
        std::snprintf(tag, sizeof tag, "%d", static_cast<int>(f.thread_tag));
    }
    std::string line(4096, '\0');
    const int size = std::snprintf(
        line.data(), line.size(), "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n",
        f.level_text, f.time.year, f.time.month, f.time.day, f.time.hour, f.time.minute, f.time.second,
        f.time.millisecond, f.process_name, f.thread_name, static_cast<unsigned>(f.process_id),
        static_cast<unsigned long long>(f.thread_id), tag, f.handle_name, f.message);
    line.resize(static_cast<std::size_t>(size));
    return line;
}

TEST(TraceFormat, LineMatchesDocumentedFormat) {
    const std::string long_name(300, 'n');
    const std::string long_message(1023, 'm');
    support::trace_line_fields_t plain;
    plain.level_text = "info";
    plain.time = {2024, 2, 29, 23, 59, 7, 5};
    plain.process_name = "helper";
    plain.thread_name = "main";
    plain.process_id = 4242;
    plain.thread_id = 4243;
    plain.handle_name = "helper_tool";
    plain.message = "started";

    std::vector<support::trace_line_fields_t> cases(8, plain);
    cases[1].thread_tag = 7;
    cases[2].thread_tag = -12345;
    cases[3].process_id = 4'294'967'295U;
    cases[3].thread_id = 18'446'744'073'709'551'615ULL;
    cases[4].time = {999, 12, 1, 0, 0, 0, 999};
    cases[4].thread_name = "";
    cases[4].process_name = "a-very-long-process";
    cases[5].level_text = "verbose";
    cases[5].message = "";
    cases[6].handle_name = long_name.c_str();
    cases[6].message = long_message.c_str();
    cases[7].time = {-5, 1, 1, 1, 1, 1, 1};

    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string expected = printf_line(cases[i]);
        if (expected.size() > support::kTraceLineSize - 1) {
            expected.resize(support::kTraceLineSize - 1);
            expected.back() = '\n';
        }
        char line[support::kTraceLineSize];
        const std::size_t size = support::build_trace_line(cases[i], line);
        EXPECT_EQ(std::string(line, size), expected) << "case " << i;
        EXPECT_EQ(line[size], '\0') << "case " << i;
    }
}

}  // namespace
