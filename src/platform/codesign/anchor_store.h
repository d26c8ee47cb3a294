#pragma once
// The platform's trusted anchors: self-signed roots read from a PEM file (normally
// <root>/etc/codesign/anchors.pem), ready for chain building with expiry not checked.

#include <string>
#include <vector>

#include "platform/codesign/openssl_handles.h"

namespace platform::codesign {

class anchor_store_t {
public:
    // Reads every certificate of the PEM file. A missing or unreadable file gives an empty store, which
    // trusts nothing.
    [[nodiscard]] static anchor_store_t load(const std::string& pem_path);

    [[nodiscard]] X509_STORE* store() const { return store_.get(); }
    [[nodiscard]] bool empty() const { return anchors_.empty(); }
    [[nodiscard]] bool contains(const X509* certificate) const;

private:
    unique_x509_store_t store_;
    std::vector<unique_x509_t> anchors_;
};

}  // namespace platform::codesign
