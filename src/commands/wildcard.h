#pragma once
// A file-name wildcard ("*" any run, "?" one character) turned into a case-insensitive regular expression
// that must match a whole name. Dots are literal; every other regular-expression character keeps its meaning.

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
    [[nodiscard]] bool may_match(std::string_view name) const;

    std::regex expression_;
    // For a wildcard with no regular-expression syntax of its own: the literal text before the first and
    // after the last "*" or "?", which every match must start and end with. Lets most names be turned away
    // without running the expression.
    bool literal_ends_ = false;
    std::string prefix_;
    std::string suffix_;
};

}  // namespace commands
