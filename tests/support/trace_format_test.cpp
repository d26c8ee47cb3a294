#include "support/trace_format.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(TraceFormat, FormatCopyIsCutToItsArea) {
    const std::string long_format = std::string(1030, 'a') + "%S";
    char out[support::kTraceFormatSize];
    support::copy_format_with_narrow_strings(long_format.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(1023, 'a'));

    // A conversion cut at the end of the area is left as it is.
    const std::string cut_conversion = std::string(1022, 'a') + "%S";
    support::copy_format_with_narrow_strings(cut_conversion.c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), std::string(1022, 'a') + "%");
}

}  // namespace
