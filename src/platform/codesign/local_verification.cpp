// Signatures judged in the calling process, with OpenSSL: for the signing tool and the code verifier.
#include <openssl/x509.h>

#include "platform/codesign/anchor_store.h"
#include "platform/codesign/cms_signature.h"
#include "platform/codesign/code_state.h"
#include "platform/codesign/requirement_evaluator.h"
#include "platform/codesign/signature_format.h"
#include "platform/codesign/static_code.h"

namespace platform::codesign {
namespace {

std::string one_line_name(const X509_NAME* name) {
    unique_bio_t out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::optional<std::string> subject_entry(X509* certificate, int nid) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index < 0) {
        return std::nullopt;
    }
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) {
        return std::nullopt;
    }
    std::string value(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return value;
}

}  // namespace

os_status_t check_validity_with(const code_t* code, const requirement_t* requirement,
                                const anchor_store_t& anchors) {
    return check_code(code, [&](int executable) {
        verified_code_t verified;
        if (const os_status_t status = verify_static_code(executable, anchors, verified);
            status != errSecSuccess) {
            return status;
        }
        if (requirement != nullptr &&
            !evaluate_requirement(requirement->state().tree,
                                  {verified.identifier, verified.chain, &anchors})) {
            return errSecCSReqFailed;
        }
        return errSecSuccess;
    });
}

os_status_t check_validity_with_anchors(const code_t* code, const requirement_t* requirement,
                                        const std::string& anchors_path) {
    return check_validity_with(code, requirement, anchor_store_t::load(anchors_path));
}

os_status_t copy_signing_information(const code_t& code, signing_information_t& out) {
    signature_blob_t blob;
    if (const os_status_t status = read_signature(code.state().executable.get(), blob);
        status != errSecSuccess) {
        return status;
    }
    auto certificates = carried_certificates(blob.signature);
    if (!certificates) {
        return errSecCSSignatureFailed;
    }
    signing_information_t information;
    information.identifier = std::move(blob.code_directory.identifier);
    X509* leaf = certificates->front().get();
    information.leaf_organizational_unit = subject_entry(leaf, NID_organizationalUnitName);
    information.leaf_common_name = subject_entry(leaf, NID_commonName);
    for (const auto& certificate : *certificates) {
        information.certificate_subjects.push_back(one_line_name(X509_get_subject_name(certificate.get())));
    }
    out = std::move(information);
    return errSecSuccess;
}

}  // namespace platform::codesign
