// Plain wildcards are matched without the regular-expression engine; they must mean exactly what their
// translated expression means.
#include "commands/wildcard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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

// Request threads compile wildcards side by side; the first compilations in a process are the ones that
// touch state shared by every expression (run under the thread sanitizer, this is what it watches).
TEST(Wildcard, CompilesOnManyThreadsAtOnce) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<int> matched(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                const auto compiled = commands::wildcard_t::compile("Quorvix (Beta|Canary)?*.app");
                matched[t] = compiled && compiled->matches("quorvix canary 2.app") &&
                             !compiled->matches("Quorvix Stable.app");
            });
        }
    }
    EXPECT_EQ(std::count(matched.begin(), matched.end(), 1), kThreads);
}

}  // namespace
