// The code verifier: judges the signature of the executable on its standard input against the anchors and
// the requirement named on its command line, and answers through its exit status. The signature bytes come
// from whoever connected to the helper, so it reads them only after it has become the verifier account,
// which no other process runs as: no user can signal, trace or stall it.
#include <openssl/crypto.h>
#include <unistd.h>

#include <memory>

#include "platform/codesign/anchor_store.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/static_code.h"
#include "platform/codesign/verifier_account.h"
#include "platform/codesign/verifier_protocol.h"

namespace {

using namespace platform;
using namespace platform::codesign;

os_status_t verify(int argc, char** argv) {
    if (argc != 5) {
        return kParamErr;
    }
    const auto user = verifier::parse_account_id(argv[3]);
    const auto group = verifier::parse_account_id(argv[4]);
    if (!user || !group) {
        return kParamErr;
    }
    // It starts once per admission: OpenSSL is set up with only what a signature check needs, without the
    // system's configuration, error texts or ciphers.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS |
                                OPENSSL_INIT_NO_ADD_ALL_CIPHERS,
                            nullptr) != 1) {
        return errSecCSInternalError;
    }
    // The anchors are the one file it opens, so they are read while it still may.
    const anchor_store_t anchors = anchor_store_t::load(argv[1]);
    if (!verifier::give_up_root_for(static_cast<uid_t>(*user), static_cast<gid_t>(*group))) {
        return errSecCSInternalError;
    }
    std::unique_ptr<requirement_t> requirement;
    if (const os_status_t status = create_requirement_with_string(argv[2], requirement);
        status != errSecSuccess) {
        return status;
    }
    std::unique_ptr<code_t> code;
    if (const os_status_t status = create_static_code_with_fd(STDIN_FILENO, code); status != errSecSuccess) {
        return status;
    }
    return check_validity_with(code.get(), requirement.get(), anchors);
}

}  // namespace

int main(int argc, char** argv) {
    const int exit_status = verifier::exit_status_for(verify(argc, argv));
    // Everything is released by now. _exit skips the exit-time leak check of sanitizer builds, which
    // cannot inspect a process that has given up root.
    ::_exit(exit_status);
}
