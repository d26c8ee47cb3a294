#pragma once
// Compiles code-requirement text into a tree. The language, with `!` binding tighter than `and` and
// `and` tighter than `or`:
//   expr    := and ("or" and)*          and := unary ("and" unary)*
//   unary   := "!" unary | "(" expr ")" | clause
//   clause  := "identifier" VALUE | "anchor" "apple" "generic"
//            | "certificate" SLOT "[" "field." OID "]"
//            | "certificate" SLOT "[" "subject." ("OU" | "CN" | "O") "]" "=" VALUE
//   SLOT    := "leaf" | "root" | decimal index (0 is the leaf)      VALUE := "quoted" | bare word

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::codesign {

// Deeper nesting than this does not compile, which keeps evaluation's recursion bounded.
inline constexpr std::size_t kMaxRequirementDepth = 64;
inline constexpr std::size_t kMaxCertificateIndex = 31;

enum class requirement_kind_t {
    any_of,
    all_of,
    negation,
    identifier,
    anchor_generic,
    certificate_field,
    certificate_subject,
};

enum class subject_attribute_t { organizational_unit, common_name, organization };

// Which certificate of the chain a clause looks at.
struct certificate_slot_t {
    bool root = false;
    std::size_t index = 0;  // from the leaf; ignored for root
};

struct requirement_node_t {
    requirement_kind_t kind = requirement_kind_t::all_of;
    std::vector<requirement_node_t> children;
    // The identifier, the dotted OID, or the subject value.
    std::string value;
    certificate_slot_t slot;
    subject_attribute_t attribute = subject_attribute_t::organizational_unit;
};

[[nodiscard]] std::optional<requirement_node_t> parse_requirement(std::string_view text);

}  // namespace platform::codesign
