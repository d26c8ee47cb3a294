#include "platform/codesign/codesign.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/codesign/code_state.h"
#include "platform/codesign/verifier_process.h"
#include "platform/system_root.h"

namespace platform::codesign {
namespace {

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
    owned_fd_t fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
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
    state->text = std::string(text);
    state->tree = std::move(*tree);
    out = std::make_unique<requirement_t>(std::move(state));
    return errSecSuccess;
}

std::string platform_anchors_path() {
    return system_path("/etc/codesign/anchors.pem");
}

os_status_t check_code(const code_t* code, const signature_check_t& check_signature) {
    if (code == nullptr) {
        return errSecCSNoSuchCode;
    }
    const auto& state = code->state();
    if (state.guest) {
        if (const os_status_t status = check_hardened_runtime(*state.guest); status != errSecSuccess) {
            return status;
        }
    }
    if (const os_status_t status = check_signature(state.executable.get()); status != errSecSuccess) {
        return status;
    }
    // A guest that has exited or exec'd meanwhile is no longer the code that was verified.
    if (state.guest && !guest_still_running(*state.guest)) {
        return errSecCSNoSuchCode;
    }
    return errSecSuccess;
}

os_status_t check_validity(const code_t* code, const requirement_t& requirement) {
    return check_code(code, [&](int executable) {
        return run_code_verifier(executable, platform_anchors_path(), requirement.state().text);
    });
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
        case errSecCSInternalError:
            return "internal error in code signing (the code verifier could not run)";
        case kParamErr:
            return "invalid argument";
        default:
            return "code signing failure";
    }
}

}  // namespace platform::codesign
