#pragma once
// Tokens of the code-requirement language. Comments (/* ... */) count as white space.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::codesign {

enum class token_kind_t { word, string, left_bracket, right_bracket, left_paren, right_paren, bang, equals };

struct token_t {
    token_kind_t kind = token_kind_t::word;
    // The word, or the string's content with its escapes resolved.
    std::string text;
};

// Absent on an unterminated string or comment, a NUL, or a character the language does not use.
[[nodiscard]] std::optional<std::vector<token_t>> tokenize_requirement(std::string_view text);

}  // namespace platform::codesign
