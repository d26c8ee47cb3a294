#include "platform/codesign/requirement_lexer.h"

namespace platform::codesign {
namespace {

bool is_word_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::optional<std::vector<token_t>> tokenize_requirement(std::string_view text) {
    std::vector<token_t> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (is_blank(c)) {
            ++i;
        } else if (c == '/') {
            if (i + 1 >= text.size() || text[i + 1] != '*') {
                return std::nullopt;
            }
            const std::size_t end = text.find("*/", i + 2);
            if (end == std::string_view::npos ||
                text.substr(i, end - i).find('\0') != std::string_view::npos) {
                return std::nullopt;
            }
            i = end + 2;
        } else if (c == '"') {
            token_t token{token_kind_t::string, {}};
            bool closed = false;
            for (++i; i < text.size() && !closed; ++i) {
                if (text[i] == '\0') {
                    return std::nullopt;
                }
                if (text[i] == '"') {
                    closed = true;
                } else if (text[i] == '\\') {
                    if (++i >= text.size() || text[i] == '\0') {
                        return std::nullopt;
                    }
                    token.text += text[i];
                } else {
                    token.text += text[i];
                }
            }
            if (!closed) {
                return std::nullopt;
            }
            tokens.push_back(std::move(token));
        } else if (is_word_character(c)) {
            const std::size_t start = i;
            while (i < text.size() && is_word_character(text[i])) {
                ++i;
            }
            tokens.push_back({token_kind_t::word, std::string(text.substr(start, i - start))});
        } else {
            token_kind_t kind{};
            switch (c) {
                case '[':
                    kind = token_kind_t::left_bracket;
                    break;
                case ']':
                    kind = token_kind_t::right_bracket;
                    break;
                case '(':
                    kind = token_kind_t::left_paren;
                    break;
                case ')':
                    kind = token_kind_t::right_paren;
                    break;
                case '!':
                    kind = token_kind_t::bang;
                    break;
                case '=':
                    kind = token_kind_t::equals;
                    break;
                default:
                    return std::nullopt;
            }
            tokens.push_back({kind, std::string(1, c)});
            ++i;
        }
    }
    return tokens;
}

}  // namespace platform::codesign
