#pragma once
// A file-name wildcard ("*" any run, "?" one character) turned into a case-insensitive regular expression
// that must match a whole name. Dots are literal; every other regular-expression character keeps its meaning.

#include <array>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

namespace commands {

class wildcard_t {
public:
    // Absent when the translated expression does not compile.
    [[nodiscard]] static std::optional<wildcard_t> compile(std::string_view wildcard);

    [[nodiscard]] bool matches(std::string_view name) const;

private:
    explicit wildcard_t(std::regex expression) : expression_(std::move(expression)) {}
    [[nodiscard]] bool matches_plain(std::string_view name) const;

    std::regex expression_;
    // A wildcard with no regular-expression syntax of its own means exactly what its expression means, so
    // it is matched directly, which is many times faster than the regular-expression engine.
    std::optional<std::string> plain_;
    // Letter case folded as the expression folds it, one entry per byte.
    std::array<char, 256> fold_{};
};

}  // namespace commands
