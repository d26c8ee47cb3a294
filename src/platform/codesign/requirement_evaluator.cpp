#include "platform/codesign/requirement_evaluator.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <array>
#include <string>

namespace platform::codesign {
namespace {

X509* certificate_at(const certificate_slot_t& slot, std::span<const unique_x509_t> chain) {
    if (chain.empty()) {
        return nullptr;
    }
    if (slot.root) {
        return chain.back().get();
    }
    return slot.index < chain.size() ? chain[slot.index].get() : nullptr;
}

bool has_extension(X509* certificate, std::string_view oid) {
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        const ASN1_OBJECT* object = X509_EXTENSION_get_object(X509_get_ext(certificate, i));
        std::array<char, 128> text{};
        const int length = OBJ_obj2txt(text.data(), static_cast<int>(text.size()), object, 1);
        if (length > 0 && static_cast<std::size_t>(length) < text.size() &&
            std::string_view(text.data()) == oid) {
            return true;
        }
    }
    return false;
}

int attribute_nid(subject_attribute_t attribute) {
    switch (attribute) {
        case subject_attribute_t::organizational_unit:
            return NID_organizationalUnitName;
        case subject_attribute_t::common_name:
            return NID_commonName;
        case subject_attribute_t::organization:
            return NID_organizationName;
    }
    return NID_undef;
}

// True when any entry of the attribute in the subject equals `expected` exactly.
bool subject_matches(X509* certificate, subject_attribute_t attribute, std::string_view expected) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int nid = attribute_nid(attribute);
    for (int i = X509_NAME_get_index_by_NID(subject, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(subject, nid, i)) {
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, data);
        if (length < 0) {
            continue;
        }
        const bool equal = std::string_view(reinterpret_cast<const char*>(utf8),
                                            static_cast<std::size_t>(length)) == expected;
        OPENSSL_free(utf8);
        if (equal) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool evaluate_requirement(const requirement_node_t& node, const evaluation_context_t& context) {
    switch (node.kind) {
        case requirement_kind_t::any_of:
            for (const auto& child : node.children) {
                if (evaluate_requirement(child, context)) {
                    return true;
                }
            }
            return false;
        case requirement_kind_t::all_of:
            for (const auto& child : node.children) {
                if (!evaluate_requirement(child, context)) {
                    return false;
                }
            }
            return true;
        case requirement_kind_t::negation:
            return !evaluate_requirement(node.children.front(), context);
        case requirement_kind_t::identifier:
            return context.identifier == node.value;
        case requirement_kind_t::anchor_generic:
            return context.anchors != nullptr && !context.chain.empty() &&
                   context.anchors->contains(context.chain.back().get());
        case requirement_kind_t::certificate_field: {
            X509* certificate = certificate_at(node.slot, context.chain);
            return certificate != nullptr && has_extension(certificate, node.value);
        }
        case requirement_kind_t::certificate_subject: {
            X509* certificate = certificate_at(node.slot, context.chain);
            return certificate != nullptr && subject_matches(certificate, node.attribute, node.value);
        }
    }
    return false;
}

}  // namespace platform::codesign
