#include "support/string.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/exception.h"

namespace {

using support::string_t;

TEST(StringText, ElementAccessChecksIndexAgainstLength) {
    struct access_case_t {
        const char* text;
        std::uint32_t idx;
        std::optional<char> expected;  // absent: throws
    };
    const access_case_t cases[] = {
        {"abc", 0, 'a'},
        {"abc", 2, 'c'},
        {"abc", 3, '\0'},
        {"abc", 4, std::nullopt},
        {"", 0, '\0'},
        {"", 1, std::nullopt},
        {"abc", 4'000'000'000U, std::nullopt},
    };
    for (const auto& c : cases) {
        const string_t text(c.text);
        if (c.expected) {
            EXPECT_EQ(text.at(c.idx), *c.expected) << c.text << "[" << c.idx << "]";
            continue;
        }
        try {
            static_cast<void>(text.at(c.idx));
            ADD_FAILURE() << "no exception for " << c.text << "[" << c.idx << "]";
        } catch (const base::invalid_argument_exception_t& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The invalid value \"" + std::to_string(c.idx) + "\" was passed as parameter \"idx\".");
        }
    }
}

TEST(StringText, ExceptionsCarryTheirMessages) {
    struct message_case_t {
        std::string message;
        const char* expected;
    };
    const message_case_t cases[] = {
        {base::out_of_memory_exception_t().what(), "The program ran out of memory."},
        {base::invalid_argument_exception_t().what(), "An invalid argument was passed to a function."},
        {base::invalid_argument_exception_t("path").what(),
         "An invalid argument was passed as parameter \"path\"."},
        {base::invalid_argument_exception_t("-1", "count").what(),
         "The invalid value \"-1\" was passed as parameter \"count\"."},
        // A value holding a conversion is printed, never interpreted.
        {base::invalid_argument_exception_t("%s%n", "name").what(),
         "The invalid value \"%s%n\" was passed as parameter \"name\"."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.message, c.expected);
    }
    const base::exception_t& as_base = base::out_of_memory_exception_t();
    EXPECT_STREQ(as_base.what(), "The program ran out of memory.");
}

TEST(StringText, SubstringIsClampedToText) {
    struct substring_case_t {
        std::uint32_t start;
        std::uint32_t length;
        const char* expected;
    };
    const substring_case_t cases[] = {
        {0, 3, "qua"},
        {2, 3, "ad"},
        {3, 100, "d"},
        {4, 1, ""},
        {9, 2, ""},
        {1, 0, ""},
        {0, 0xffffffffU, "quad"},
    };
    const string_t text("quad");
    for (const auto& c : cases) {
        const string_t part = text.substr(c.start, c.length);
        EXPECT_EQ(part.view(), c.expected) << "substr(" << c.start << ", " << c.length << ")";
        EXPECT_EQ(part.at(part.length()), '\0');
    }
}

}  // namespace
