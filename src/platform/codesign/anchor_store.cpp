#include "platform/codesign/anchor_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace platform::codesign {

anchor_store_t anchor_store_t::load(const std::string& pem_path) {
    anchor_store_t result;
    result.store_.reset(X509_STORE_new());
    if (!result.store_) {
        return result;
    }
    // Signatures are timestamped by policy: a certificate that has since expired still verifies. Purpose
    // is left open here because the leaf's own usage is checked by the code-signing rules, not as S/MIME.
    X509_STORE_set_flags(result.store_.get(), X509_V_FLAG_NO_CHECK_TIME);
    X509_STORE_set_purpose(result.store_.get(), X509_PURPOSE_ANY);

    unique_bio_t file(BIO_new_file(pem_path.c_str(), "r"));
    if (!file) {
        ERR_clear_error();
        return result;
    }
    while (unique_x509_t certificate{PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)}) {
        if (X509_STORE_add_cert(result.store_.get(), certificate.get()) == 1) {
            result.anchors_.push_back(std::move(certificate));
        }
    }
    // The loop ends on the "no more PEM" error that every well-formed file ends with.
    ERR_clear_error();
    return result;
}

bool anchor_store_t::contains(const X509* certificate) const {
    for (const auto& anchor : anchors_) {
        if (X509_cmp(anchor.get(), certificate) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace platform::codesign
