#pragma once
// Owners for the OpenSSL objects of the code-signing stand-in, so no path leaks one.

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace platform::codesign {

template <auto free_function>
struct openssl_free_t {
    template <typename T>
    void operator()(T* object) const {
        free_function(object);
    }
};

struct x509_stack_free_t {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

using unique_bio_t = std::unique_ptr<BIO, openssl_free_t<BIO_free>>;
using unique_cms_t = std::unique_ptr<CMS_ContentInfo, openssl_free_t<CMS_ContentInfo_free>>;
using unique_evp_md_ctx_t = std::unique_ptr<EVP_MD_CTX, openssl_free_t<EVP_MD_CTX_free>>;
using unique_pkey_t = std::unique_ptr<EVP_PKEY, openssl_free_t<EVP_PKEY_free>>;
using unique_x509_t = std::unique_ptr<X509, openssl_free_t<X509_free>>;
using unique_x509_stack_t = std::unique_ptr<STACK_OF(X509), x509_stack_free_t>;
using unique_x509_store_t = std::unique_ptr<X509_STORE, openssl_free_t<X509_STORE_free>>;
using unique_x509_store_ctx_t = std::unique_ptr<X509_STORE_CTX, openssl_free_t<X509_STORE_CTX_free>>;

// A new reference to `certificate`, owned by the result.
inline unique_x509_t share_x509(X509* certificate) {
    X509_up_ref(certificate);
    return unique_x509_t(certificate);
}

}  // namespace platform::codesign
