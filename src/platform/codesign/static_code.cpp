#include "platform/codesign/static_code.h"

#include <openssl/crypto.h>

#include "platform/codesign/cms_signature.h"
#include "platform/codesign/signature_format.h"

namespace platform::codesign {

os_status_t verify_static_code(int fd, const anchor_store_t& anchors, verified_code_t& out) {
    signature_blob_t blob;
    if (const os_status_t status = read_signature(fd, blob); status != errSecSuccess) {
        return status;
    }
    // The cheap signature check comes first, so a forged signature costs no hashing of the executable.
    std::vector<unique_x509_t> chain;
    if (const os_status_t status = verify_content(blob.code_directory_bytes, blob.signature, anchors, chain);
        status != errSecSuccess) {
        return status;
    }
    const auto hash = hash_file_prefix(fd, blob.executable_length);
    if (!hash || CRYPTO_memcmp(hash->data(), blob.code_directory.executable_hash.data(), hash->size()) != 0) {
        return errSecCSSignatureFailed;
    }
    out.identifier = std::move(blob.code_directory.identifier);
    out.chain = std::move(chain);
    return errSecSuccess;
}

}  // namespace platform::codesign
