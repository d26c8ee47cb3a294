#include "platform/codesign/cms_signature.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>

namespace platform::codesign {
namespace {

// Parses DER that must be exactly one SignedData with exactly one signer and no embedded content.
unique_cms_t parse_signed_data(std::span<const std::uint8_t> der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return nullptr;
    }
    const unsigned char* cursor = der.data();
    unique_cms_t cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cms || cursor != der.data() + der.size() ||
        OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        return nullptr;
    }
    const STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (signers == nullptr || sk_CMS_SignerInfo_num(signers) != 1 || content == nullptr ||
        *content != nullptr) {
        return nullptr;
    }
    return cms;
}

// A code-signing leaf: where it states its usage, that usage must cover signing code.
bool leaf_may_sign_code(X509* leaf) {
    const std::uint32_t flags = X509_get_extension_flags(leaf);
    if ((flags & EXFLAG_INVALID) != 0) {
        return false;
    }
    if ((flags & EXFLAG_KUSAGE) != 0 && (X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE) == 0) {
        return false;
    }
    if ((flags & EXFLAG_XKUSAGE) != 0 &&
        (X509_get_extended_key_usage(leaf) & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) {
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> sign_content(std::span<const std::uint8_t> content, EVP_PKEY* key,
                                                      X509* leaf, STACK_OF(X509) * intermediates) {
    unique_bio_t data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    if (!data || key == nullptr || leaf == nullptr) {
        return std::nullopt;
    }
    unique_cms_t cms(
        CMS_sign(leaf, key, intermediates, data.get(), CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms) {
        ERR_clear_error();
        return std::nullopt;
    }
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    if (length <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::vector<std::uint8_t> result(der, der + length);
    OPENSSL_free(der);
    return result;
}

os_status_t verify_content(std::span<const std::uint8_t> content, std::span<const std::uint8_t> signature,
                           const anchor_store_t& anchors, std::vector<unique_x509_t>& chain) {
    unique_cms_t cms = parse_signed_data(signature);
    if (!cms) {
        ERR_clear_error();
        return errSecCSSignatureFailed;
    }
    unique_bio_t data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    // Full verification: the signature over the content, its signed attributes, and the signer's chain to
    // an anchor. None of the flags that skip one of these is given.
    if (!data || anchors.empty() ||
        CMS_verify(cms.get(), nullptr, anchors.store(), data.get(), nullptr, CMS_DETACHED | CMS_BINARY) !=
            1) {
        ERR_clear_error();
        return errSecCSSignatureFailed;
    }
    // Requirements are judged on the chain of the certificate that actually signed, built again here
    // so that its first element is that signer.
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    X509* signer = signers != nullptr && sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    unique_x509_t leaf = signer != nullptr ? share_x509(signer) : nullptr;
    sk_X509_free(signers);
    unique_x509_stack_t carried(CMS_get1_certs(cms.get()));
    unique_x509_store_ctx_t context(X509_STORE_CTX_new());
    if (!leaf || !context ||
        X509_STORE_CTX_init(context.get(), anchors.store(), leaf.get(), carried.get()) != 1 ||
        X509_verify_cert(context.get()) != 1) {
        ERR_clear_error();
        return errSecCSSignatureFailed;
    }
    unique_x509_stack_t built(X509_STORE_CTX_get1_chain(context.get()));
    const int count = built ? sk_X509_num(built.get()) : 0;
    if (count < 1 || X509_cmp(sk_X509_value(built.get(), 0), leaf.get()) != 0 ||
        !anchors.contains(sk_X509_value(built.get(), count - 1)) || !leaf_may_sign_code(leaf.get())) {
        return errSecCSSignatureFailed;
    }
    std::vector<unique_x509_t> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        result.push_back(share_x509(sk_X509_value(built.get(), i)));
    }
    chain = std::move(result);
    return errSecSuccess;
}

std::optional<std::vector<unique_x509_t>> carried_certificates(std::span<const std::uint8_t> signature) {
    unique_cms_t cms = parse_signed_data(signature);
    unique_x509_stack_t carried(cms ? CMS_get1_certs(cms.get()) : nullptr);
    if (!carried) {
        ERR_clear_error();
        return std::nullopt;
    }
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    std::vector<unique_x509_t> result;
    bool signer_found = false;
    for (int i = 0; i < sk_X509_num(carried.get()); ++i) {
        X509* certificate = sk_X509_value(carried.get(), i);
        if (!signer_found && CMS_SignerInfo_cert_cmp(info, certificate) == 0) {
            result.insert(result.begin(), share_x509(certificate));
            signer_found = true;
        } else {
            result.push_back(share_x509(certificate));
        }
    }
    if (!signer_found) {
        return std::nullopt;
    }
    return result;
}

}  // namespace platform::codesign
