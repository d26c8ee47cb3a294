// Feeds arbitrary files to the reader of appended signatures: trailer, bounds and code directory.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/codesign/cms_signature.h"
#include "platform/codesign/signature_format.h"
#include "platform/owned_fd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform::codesign;
    const std::span<const std::uint8_t> bytes(data, size);
    (void)parse_code_directory(bytes);

    static const platform::owned_fd_t file(memfd_create("signature-fuzz", MFD_CLOEXEC));
    if (!file.valid() || ftruncate(file.get(), 0) != 0 ||
        pwrite(file.get(), data, size, 0) != static_cast<ssize_t>(size)) {
        return 0;
    }
    signature_blob_t blob;
    if (read_signature(file.get(), blob) == platform::errSecSuccess) {
        (void)carried_certificates(blob.signature);
        (void)hash_file_prefix(file.get(), blob.executable_length);
    }
    (void)unsigned_length(file.get());
    return 0;
}
