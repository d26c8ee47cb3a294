#pragma once
// Judges a compiled requirement against what a verified signature established.

#include <span>
#include <string_view>

#include "platform/codesign/anchor_store.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/codesign/requirement_parser.h"

namespace platform::codesign {

struct evaluation_context_t {
    std::string_view identifier;
    // The verified chain: the signer first, the anchor last.
    std::span<const unique_x509_t> chain;
    const anchor_store_t* anchors = nullptr;
};

[[nodiscard]] bool evaluate_requirement(const requirement_node_t& node, const evaluation_context_t& context);

}  // namespace platform::codesign
