#include "platform/codesign/requirement_parser.h"

#include <array>

#include "platform/codesign/requirement_lexer.h"

namespace platform::codesign {
namespace {

// Words with a meaning in the language; they are not accepted as bare values.
constexpr std::array<std::string_view, 9> kKeywords = {
    "and", "or", "identifier", "anchor", "apple", "generic", "certificate", "leaf", "root",
};

bool is_keyword(std::string_view word) {
    for (std::string_view keyword : kKeywords) {
        if (word == keyword) {
            return true;
        }
    }
    return false;
}

bool is_decimal(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Dotted OID as X.660 writes it: at least two arcs, the first 0..2, no leading zeros.
bool is_dotted_oid(std::string_view text) {
    std::size_t arcs = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view arc = text.substr(0, dot);
        if (!is_decimal(arc) || arc.size() > 9 || (arc.size() > 1 && arc.front() == '0')) {
            return false;
        }
        if (arcs == 0 && (arc.size() != 1 || arc.front() > '2')) {
            return false;
        }
        ++arcs;
        if (dot == std::string_view::npos) {
            return arcs >= 2;
        }
        text.remove_prefix(dot + 1);
    }
}

class parser_t {
public:
    explicit parser_t(std::vector<token_t> tokens) : tokens_(std::move(tokens)) {}

    std::optional<requirement_node_t> parse() {
        auto tree = expression(0);
        if (!tree || position_ != tokens_.size()) {
            return std::nullopt;
        }
        return tree;
    }

private:
    std::optional<requirement_node_t> expression(std::size_t depth) {
        return binary(depth, "or", requirement_kind_t::any_of, &parser_t::conjunction);
    }

    std::optional<requirement_node_t> conjunction(std::size_t depth) {
        return binary(depth, "and", requirement_kind_t::all_of, &parser_t::unary);
    }

    std::optional<requirement_node_t> binary(
        std::size_t depth, std::string_view keyword, requirement_kind_t kind,
        std::optional<requirement_node_t> (parser_t::*operand)(std::size_t)) {
        auto first = (this->*operand)(depth);
        if (!first || !peek_word(keyword)) {
            return first;
        }
        requirement_node_t node{kind, {}, {}, {}, {}};
        node.children.push_back(std::move(*first));
        while (accept_word(keyword)) {
            auto next = (this->*operand)(depth);
            if (!next) {
                return std::nullopt;
            }
            node.children.push_back(std::move(*next));
        }
        return node;
    }

    std::optional<requirement_node_t> unary(std::size_t depth) {
        if (depth >= kMaxRequirementDepth) {
            return std::nullopt;
        }
        if (accept(token_kind_t::bang)) {
            auto operand = unary(depth + 1);
            if (!operand) {
                return std::nullopt;
            }
            requirement_node_t node{requirement_kind_t::negation, {}, {}, {}, {}};
            node.children.push_back(std::move(*operand));
            return node;
        }
        if (accept(token_kind_t::left_paren)) {
            auto inner = expression(depth + 1);
            if (!inner || !accept(token_kind_t::right_paren)) {
                return std::nullopt;
            }
            return inner;
        }
        return clause();
    }

    std::optional<requirement_node_t> clause() {
        if (accept_word("identifier")) {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            return requirement_node_t{requirement_kind_t::identifier, {}, std::move(*text), {}, {}};
        }
        if (accept_word("anchor")) {
            if (!accept_word("apple") || !accept_word("generic")) {
                return std::nullopt;
            }
            return requirement_node_t{requirement_kind_t::anchor_generic, {}, {}, {}, {}};
        }
        if (accept_word("certificate")) {
            return certificate_clause();
        }
        return std::nullopt;
    }

    std::optional<requirement_node_t> certificate_clause() {
        const auto slot = certificate_slot();
        const token_t* key = nullptr;
        if (!slot || !accept(token_kind_t::left_bracket) || (key = take(token_kind_t::word)) == nullptr ||
            !accept(token_kind_t::right_bracket)) {
            return std::nullopt;
        }
        constexpr std::string_view kFieldPrefix = "field.";
        constexpr std::string_view kSubjectPrefix = "subject.";
        const std::string_view name = key->text;
        if (name.starts_with(kFieldPrefix)) {
            const std::string_view oid = name.substr(kFieldPrefix.size());
            if (!is_dotted_oid(oid)) {
                return std::nullopt;
            }
            return requirement_node_t{requirement_kind_t::certificate_field, {}, std::string(oid), *slot, {}};
        }
        if (!name.starts_with(kSubjectPrefix)) {
            return std::nullopt;
        }
        const auto attribute = subject_attribute(name.substr(kSubjectPrefix.size()));
        if (!attribute || !accept(token_kind_t::equals)) {
            return std::nullopt;
        }
        auto text = value();
        if (!text) {
            return std::nullopt;
        }
        return requirement_node_t{
            requirement_kind_t::certificate_subject, {}, std::move(*text), *slot, *attribute};
    }

    std::optional<certificate_slot_t> certificate_slot() {
        if (accept_word("leaf")) {
            return certificate_slot_t{false, 0};
        }
        if (accept_word("root")) {
            return certificate_slot_t{true, 0};
        }
        const token_t* index = peek(token_kind_t::word);
        if (index == nullptr || !is_decimal(index->text) || index->text.size() > 2 ||
            std::stoul(index->text) > kMaxCertificateIndex) {
            return std::nullopt;
        }
        ++position_;
        return certificate_slot_t{false, std::stoul(index->text)};
    }

    static std::optional<subject_attribute_t> subject_attribute(std::string_view name) {
        if (name == "OU") {
            return subject_attribute_t::organizational_unit;
        }
        if (name == "CN") {
            return subject_attribute_t::common_name;
        }
        if (name == "O") {
            return subject_attribute_t::organization;
        }
        return std::nullopt;
    }

    // A quoted string, or a bare word that is not a keyword.
    std::optional<std::string> value() {
        if (const token_t* quoted = take(token_kind_t::string)) {
            return quoted->text;
        }
        const token_t* word = peek(token_kind_t::word);
        if (word == nullptr || is_keyword(word->text)) {
            return std::nullopt;
        }
        ++position_;
        return word->text;
    }

    const token_t* peek(token_kind_t kind) const {
        return position_ < tokens_.size() && tokens_[position_].kind == kind ? &tokens_[position_] : nullptr;
    }
    const token_t* take(token_kind_t kind) {
        const token_t* token = peek(kind);
        if (token != nullptr) {
            ++position_;
        }
        return token;
    }
    bool accept(token_kind_t kind) { return take(kind) != nullptr; }
    bool peek_word(std::string_view word) const {
        const token_t* token = peek(token_kind_t::word);
        return token != nullptr && token->text == word;
    }
    bool accept_word(std::string_view word) {
        if (!peek_word(word)) {
            return false;
        }
        ++position_;
        return true;
    }

    std::vector<token_t> tokens_;
    std::size_t position_ = 0;
};

}  // namespace

std::optional<requirement_node_t> parse_requirement(std::string_view text) {
    auto tokens = tokenize_requirement(text);
    if (!tokens) {
        return std::nullopt;
    }
    return parser_t(std::move(*tokens)).parse();
}

}  // namespace platform::codesign
