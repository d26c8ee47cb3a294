#pragma once
// The CMS part of a signature: a detached SignedData over the code directory, carrying the signer's
// certificate chain.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/codesign/anchor_store.h"
#include "platform/codesign/openssl_handles.h"
#include "platform/os_status.h"

namespace platform::codesign {

// DER of a detached SignedData over `content`, signed by `key` with `leaf`, carrying `leaf` and
// `intermediates` (may be null). Absent when the key does not match the certificate or signing fails.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> sign_content(std::span<const std::uint8_t> content,
                                                                    EVP_PKEY* key, X509* leaf,
                                                                    STACK_OF(X509) * intermediates);

// Verifies `signature` over `content` and builds the chain from its one signer through the certificates it
// carries to an anchor of `anchors`. On success `chain` holds the signer first and the anchor last.
[[nodiscard]] os_status_t verify_content(std::span<const std::uint8_t> content,
                                         std::span<const std::uint8_t> signature,
                                         const anchor_store_t& anchors, std::vector<unique_x509_t>& chain);

// The certificates carried in `signature`, its signer first; nothing is verified. Absent when the bytes
// are not a SignedData with one signer found among its certificates.
[[nodiscard]] std::optional<std::vector<unique_x509_t>> carried_certificates(
    std::span<const std::uint8_t> signature);

}  // namespace platform::codesign
