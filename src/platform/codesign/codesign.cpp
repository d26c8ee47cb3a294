#include "platform/codesign/codesign.h"

#include <fcntl.h>
#include <openssl/x509.h>
#include <unistd.h>

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

std::unique_ptr<code_t> make_code(owned_fd_t executable, std::optional<guest_process_t> guest) {
    auto state = std::make_unique<code_t::state_t>();
    state->executable = std::move(executable);
    state->guest = std::move(guest);
    return std::make_unique<code_t>(std::move(state));
}

}  // namespace

code_t::code_t(std::unique_ptr<state_t> state) : state_(std::move(state)) {}
code_t::~code_t() = default;

requirement_t::requirement_t(std::unique_ptr<state_t> state) : state_(std::move(state)) {}
requirement_t::~requirement_t() = default;

os_status_t copy_guest_with_audit_token(const audit_token_t& token, std::unique_ptr<code_t>& out) {
    out.reset();
    guest_process_t guest;
    if (const os_status_t status = open_guest(token, guest); status != errSecSuccess) {
        return status;
    }
    owned_fd_t executable = std::move(guest.executable);
    out = make_code(std::move(executable), std::move(guest));
    return errSecSuccess;
}

os_status_t create_static_code_with_path(const std::string& path, std::unique_ptr<code_t>& out) {
    out.reset();
    owned_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return errSecCSNoSuchCode;
    }
    out = make_code(std::move(fd), std::nullopt);
    return errSecSuccess;
}

os_status_t create_static_code_with_fd(int fd, std::unique_ptr<code_t>& out) {
    out.reset();
    owned_fd_t own(fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1);
    if (!own.valid()) {
        return kParamErr;
    }
    out = make_code(std::move(own), std::nullopt);
    return errSecSuccess;
}

os_status_t create_requirement_with_string(std::string_view text, std::unique_ptr<requirement_t>& out) {
    out.reset();
    auto tree = parse_requirement(text);
    if (!tree) {
        return errSecCSReqInvalid;
    }
    auto state = std::make_unique<requirement_t::state_t>();
    state->tree = std::move(*tree);
    out = std::make_unique<requirement_t>(std::move(state));
    return errSecSuccess;
}

namespace {

os_status_t validate(const code_t* code, const requirement_t* requirement, const anchor_store_t& anchors) {
    if (code == nullptr) {
        return errSecCSNoSuchCode;
    }
    const auto& state = code->state();
    if (state.guest) {
        if (const os_status_t status = check_hardened_runtime(*state.guest); status != errSecSuccess) {
            return status;
        }
    }
    verified_code_t verified;
    if (const os_status_t status = verify_static_code(state.executable.get(), anchors, verified);
        status != errSecSuccess) {
        return status;
    }
    // A guest that has exited or exec'd meanwhile is no longer the code that was verified.
    if (state.guest && !guest_still_running(*state.guest)) {
        return errSecCSNoSuchCode;
    }
    if (requirement != nullptr &&
        !evaluate_requirement(requirement->state().tree, {verified.identifier, verified.chain, &anchors})) {
        return errSecCSReqFailed;
    }
    return errSecSuccess;
}

}  // namespace

os_status_t check_validity(const code_t* code, const requirement_t& requirement) {
    return validate(code, &requirement, anchor_store_t::load_platform());
}

os_status_t check_validity_with_anchors(const code_t* code, const requirement_t* requirement,
                                        const std::string& anchors_path) {
    return validate(code, requirement, anchor_store_t::load(anchors_path));
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

std::string_view status_description(os_status_t status) {
    switch (status) {
        case errSecSuccess:
            return "valid";
        case errSecCSUnsigned:
            return "code object is not signed at all";
        case errSecCSSignatureFailed:
            return "invalid signature (code or signature have been modified, or the "
                   "certificate chain does not lead to a trusted anchor)";
        case errSecCSGuestInvalid:
            return "guest is invalid (code injection or a tracer is possible)";
        case errSecCSNoSuchCode:
            return "no such code";
        case errSecCSReqInvalid:
            return "invalid requirement text";
        case errSecCSReqFailed:
            return "code failed to satisfy the specified code requirement";
        case errSecCSBadObjectFormat:
            return "malformed signature";
        case kParamErr:
            return "invalid argument";
        default:
            return "code signing failure";
    }
}

}  // namespace platform::codesign
