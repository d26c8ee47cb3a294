#pragma once
// Verification of the signature appended to an open file.

#include <string>
#include <vector>

#include "platform/codesign/anchor_store.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/os_status.h"

namespace platform::codesign {

struct verified_code_t {
    std::string identifier;
    // The signer first, the anchor last.
    std::vector<unique_x509_t> chain;
};

// Reads the signature of `fd`, hashes the executable bytes from `fd` itself, and verifies the CMS
// signature and its chain against `anchors`.
[[nodiscard]] os_status_t verify_static_code(int fd, const anchor_store_t& anchors, verified_code_t& out);

// check_validity_with_anchors with anchors already loaded.
[[nodiscard]] os_status_t check_validity_with(const code_t* code, const requirement_t* requirement,
                                              const anchor_store_t& anchors);

}  // namespace platform::codesign
