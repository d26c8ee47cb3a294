// Plain wildcards are matched without the regular-expression engine; they must mean exactly what their
// translated expression means.
#include "commands/wildcard.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

namespace {

std::regex expression_of(const std::string& wildcard) {
    std::string pattern = "^";
    for (const char c : wildcard) {
        pattern += c == '.'   ? std::string("\\.")
                   : c == '*' ? std::string(".*")
                   : c == '?' ? std::string(".")
                              : std::string(1, c);
    }
    return std::regex(pattern + "$", std::regex::ECMAScript | std::regex::icase);
}

TEST(Wildcard, PlainWildcardsAgreeWithTheirExpressionOnEveryName) {
    const std::string alphabet = "aB.*?\nxQ";
    std::mt19937 random(7);
    const auto word = [&](std::size_t max, bool wild) {
        std::string text;
        const std::size_t length = random() % (max + 1);
        for (std::size_t i = 0; i < length; ++i) {
            char c = alphabet[random() % alphabet.size()];
            if (!wild && (c == '*' || c == '?')) {
                c = 'b';
            }
            text += c;
        }
        return text;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string wildcard = word(6, true);
        const std::string name = word(8, false);
        const auto compiled = commands::wildcard_t::compile(wildcard);
        ASSERT_TRUE(compiled) << wildcard;
        EXPECT_EQ(compiled->matches(name), std::regex_match(name, expression_of(wildcard)))
            << "wildcard \"" << wildcard << "\" name \"" << name << "\"";
    }
}

}  // namespace
