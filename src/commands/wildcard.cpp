#include "commands/wildcard.h"

#include <locale>
#include <mutex>

namespace commands {
namespace {

constexpr std::string_view kExpressionSyntax = "+()[]{}|\\^$";

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

// The expression compiler reads characters through ctype<char>::narrow, which fills a per-character cache
// of the shared facet on first use without a lock. Filling it once, before any expression is compiled,
// leaves request threads compiling side by side only reading it.
void fill_narrow_cache() {
    static std::once_flag filled;
    std::call_once(filled, [] {
        const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
        for (int byte = 0; byte < 256; ++byte) {
            static_cast<void>(ctype.narrow(static_cast<char>(byte), '\0'));
        }
    });
}

}  // namespace

std::optional<wildcard_t> wildcard_t::compile(std::string_view wildcard) {
    fill_narrow_cache();
    std::optional<wildcard_t> result;
    try {
        result.emplace(
            wildcard_t(std::regex(translate(wildcard), std::regex::ECMAScript | std::regex::icase)));
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
    if (wildcard.find_first_of(kExpressionSyntax) == std::string_view::npos) {
        result->plain_ = std::string(wildcard);
        const auto& ctype = std::use_facet<std::ctype<char>>(result->expression_.getloc());
        for (std::size_t byte = 0; byte < result->fold_.size(); ++byte) {
            result->fold_[byte] = ctype.tolower(static_cast<char>(byte));
        }
    }
    return result;
}

// The expression's own meaning: "*" is ".*" and "?" is ".", neither of which takes a line end; every
// other character stands for itself, letter case folded as the expression folds it.
bool wildcard_t::matches_plain(std::string_view name) const {
    const auto any = [](char c) { return c != '\n' && c != '\r'; };
    const auto same = [this](char a, char b) {
        return fold_[static_cast<unsigned char>(a)] == fold_[static_cast<unsigned char>(b)];
    };
    const std::string_view pattern = *plain_;
    std::size_t p = 0;
    std::size_t n = 0;
    // Where the last "*" stood, and how far into the name it reached: the point to widen it from.
    std::size_t star = std::string_view::npos;
    std::size_t star_reach = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_reach = n;
        } else if (p < pattern.size() && (pattern[p] == '?' ? any(name[n]) : same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos && any(name[star_reach])) {
            p = star + 1;
            n = ++star_reach;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

bool wildcard_t::matches(std::string_view name) const {
    if (plain_) {
        return matches_plain(name);
    }
    // An expression too complex for the engine on this name does not match it.
    try {
        return std::regex_match(name.begin(), name.end(), expression_);
    } catch (const std::regex_error&) {
        return false;
    }
}

}  // namespace commands
