#include "commands/wildcard.h"

#include <locale>

namespace commands {
namespace {

constexpr std::string_view kExpressionSyntax = "+()[]{}|\\^$";
constexpr std::string_view kWildcardCharacters = "*?";

// Dots first, so that the dots the star and question mark bring in keep their meaning.
std::string translate(std::string_view wildcard) {
    std::string pattern;
    pattern.reserve(wildcard.size() * 2 + 2);
    pattern.push_back('^');
    for (const char c : wildcard) {
        switch (c) {
            case '.':
                pattern.append("\\.");
                break;
            case '*':
                pattern.append(".*");
                break;
            case '?':
                pattern.push_back('.');
                break;
            default:
                pattern.push_back(c);
        }
    }
    pattern.push_back('$');
    return pattern;
}

}  // namespace

std::optional<wildcard_t> wildcard_t::compile(std::string_view wildcard) {
    std::optional<wildcard_t> result;
    try {
        result.emplace(
            wildcard_t(std::regex(translate(wildcard), std::regex::ECMAScript | std::regex::icase)));
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
    if (wildcard.find_first_of(kExpressionSyntax) == std::string_view::npos) {
        const std::size_t first = wildcard.find_first_of(kWildcardCharacters);
        const std::size_t last = wildcard.find_last_of(kWildcardCharacters);
        result->literal_ends_ = true;
        result->prefix_ = wildcard.substr(0, first);
        result->suffix_ =
            last == std::string_view::npos ? std::string(wildcard) : std::string(wildcard.substr(last + 1));
    }
    return result;
}

bool wildcard_t::may_match(std::string_view name) const {
    if (!literal_ends_) {
        return true;
    }
    if (name.size() < prefix_.size() || name.size() < suffix_.size()) {
        return false;
    }
    // Folded exactly as the expression folds case, so no name it would accept is turned away here.
    const auto& ctype = std::use_facet<std::ctype<char>>(expression_.getloc());
    const auto same = [&ctype](std::string_view a, std::string_view b) {
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (ctype.tolower(a[i]) != ctype.tolower(b[i])) {
                return false;
            }
        }
        return true;
    };
    return same(prefix_, name.substr(0, prefix_.size())) &&
           same(suffix_, name.substr(name.size() - suffix_.size()));
}

bool wildcard_t::matches(std::string_view name) const {
    if (!may_match(name)) {
        return false;
    }
    // An expression too complex for the engine on this name does not match it.
    try {
        return std::regex_match(name.begin(), name.end(), expression_);
    } catch (const std::regex_error&) {
        return false;
    }
}

}  // namespace commands
