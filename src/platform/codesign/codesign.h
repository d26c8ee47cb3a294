#pragma once
// Stand-in for the Security framework's code signing (SecCode, SecStaticCode, SecRequirement): signatures
// appended to executables, verified against the anchor store <root>/etc/codesign/anchors.pem.
//
// Two libraries: qv_codesign finds code, compiles requirements and has signatures judged by the code
// verifier, a short-lived process of its own; qv_codesign_verify (OpenSSL) judges them in the calling
// process and signs. The helper links only the first, so neither OpenSSL nor a client's signature bytes
// ever enter it.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audit_token.h"
#include "platform/os_status.h"

namespace platform::codesign {

// Code whose signature can be checked: a running guest found by its audit token, or a file.
class code_t {
public:
    struct state_t;
    explicit code_t(std::unique_ptr<state_t> state);
    ~code_t();
    code_t(const code_t&) = delete;
    code_t& operator=(const code_t&) = delete;

    [[nodiscard]] const state_t& state() const { return *state_; }

private:
    std::unique_ptr<state_t> state_;
};

// A compiled code requirement.
class requirement_t {
public:
    struct state_t;
    explicit requirement_t(std::unique_ptr<state_t> state);
    ~requirement_t();
    requirement_t(const requirement_t&) = delete;
    requirement_t& operator=(const requirement_t&) = delete;

    [[nodiscard]] const state_t& state() const { return *state_; }

private:
    std::unique_ptr<state_t> state_;
};

// SecCodeCopyGuestWithAttributes with the audit-token attribute. A process that has exited, or whose pid
// now belongs to another process, yields no code (errSecCSNoSuchCode).
[[nodiscard]] os_status_t copy_guest_with_audit_token(const audit_token_t& token,
                                                      std::unique_ptr<code_t>& out);

// SecStaticCodeCreateWithPath. The file is opened once; every later check reads that same file.
[[nodiscard]] os_status_t create_static_code_with_path(const std::string& path, std::unique_ptr<code_t>& out);
// The same for a file the caller has opened; the descriptor is duplicated, the caller keeps its own.
[[nodiscard]] os_status_t create_static_code_with_fd(int fd, std::unique_ptr<code_t>& out);

// SecRequirementCreateWithString. Text that does not compile leaves `out` empty (errSecCSReqInvalid).
[[nodiscard]] os_status_t create_requirement_with_string(std::string_view text,
                                                         std::unique_ptr<requirement_t>& out);

// The platform's anchor file, <root>/etc/codesign/anchors.pem.
[[nodiscard]] std::string platform_anchors_path();

// SecCodeCheckValidity against the platform anchor store. A null code fails (errSecCSNoSuchCode). For a
// guest this also holds it to the hardened runtime: the kernel must have vouched for it when it connected
// (root's, or a clean set-group-id exec into the client group: non-dumpable, secure loader), and it must
// not be traced. The signature and the requirement are judged by the code verifier (the executable
// `verifier::kExecutableName` beside the running one), which runs as the verifier account; a verifier
// that cannot be run, that dies, or that has not answered within kVerifierTimeLimit (it is then killed)
// fails the check (errSecCSInternalError).
[[nodiscard]] os_status_t check_validity(const code_t* code, const requirement_t& requirement);

// The hardened runtime's rule again, for a guest admitted earlier: no tracer has attached since. (What the
// kernel vouched for at its exec holds until its next exec, which its connection's own checks catch.)
// The process is read through its /proc/<pid>/status as the connection opened it at accept, which names
// it for good. errSecCSNoSuchCode when that process is gone, else errSecCSGuestInvalid with `reason` set.
[[nodiscard]] os_status_t check_admitted_guest(int status_file, std::string* reason);

// qv_codesign_verify: the same in the calling process, with an optional requirement and an explicit
// anchor file, for the signing tool and the verifier itself.
[[nodiscard]] os_status_t check_validity_with_anchors(const code_t* code, const requirement_t* requirement,
                                                      const std::string& anchors_path);

// What a signature claims, read without judging whether it is trusted.
struct signing_information_t {
    std::string identifier;
    std::optional<std::string> leaf_organizational_unit;
    std::optional<std::string> leaf_common_name;
    // Subjects (one-line form) of the certificates carried in the signature, the signer first.
    std::vector<std::string> certificate_subjects;
};
// qv_codesign_verify.
[[nodiscard]] os_status_t copy_signing_information(const code_t& code, signing_information_t& out);

// A signing identity in PEM: private key, leaf certificate and optional intermediates (any order).
struct signing_identity_t {
    std::string private_key_pem;
    std::string certificate_pem;
    std::string chain_pem;
};

// qv_codesign_verify. Signs the file at `path` under `identifier` (valid UTF-8, no NUL, at most 65535
// bytes), replacing any signature already appended. The file is replaced atomically and keeps its mode.
[[nodiscard]] os_status_t sign_file(const std::string& path, std::string_view identifier,
                                    const signing_identity_t& identity);

// A short English phrase for a code-signing status, for messages.
[[nodiscard]] std::string_view status_description(os_status_t status);

}  // namespace platform::codesign
