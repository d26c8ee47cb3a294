#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/codesign/cms_signature.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/signature_format.h"
#include "platform/file_io.h"
#include "platform/owned_fd.h"

namespace platform::codesign {
namespace {

unique_bio_t memory_bio(const std::string& text) {
    return unique_bio_t(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

unique_x509_stack_t read_certificates(const std::string& pem) {
    unique_x509_stack_t certificates(sk_X509_new_null());
    unique_bio_t in = memory_bio(pem);
    if (!certificates || !in) {
        return nullptr;
    }
    while (unique_x509_t certificate{PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr)}) {
        if (sk_X509_push(certificates.get(), certificate.get()) <= 0) {
            return nullptr;
        }
        certificate.release();
    }
    ERR_clear_error();
    return certificates;
}

bool copy_prefix(int from, int to, std::uint64_t length) {
    std::array<std::uint8_t, 1 << 16> buffer{};
    for (std::uint64_t offset = 0; offset < length;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
        const ssize_t n = ::pread(from, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !write_all(to, std::span(buffer.data(), static_cast<std::size_t>(n)))) {
            return false;
        }
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// A temporary file beside the target that is removed unless it was renamed into place.
class replacement_file_t {
public:
    explicit replacement_file_t(const std::string& target) : path_(target + ".qvsign-XXXXXX") {
        fd_.reset(::mkostemp(path_.data(), O_CLOEXEC));
    }
    ~replacement_file_t() {
        if (fd_.valid() && !committed_) {
            ::unlink(path_.c_str());
        }
    }
    replacement_file_t(const replacement_file_t&) = delete;
    replacement_file_t& operator=(const replacement_file_t&) = delete;

    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] bool commit(const std::string& target) {
        if (::fsync(fd_.get()) != 0 || ::rename(path_.c_str(), target.c_str()) != 0) {
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    std::string path_;
    owned_fd_t fd_;
    bool committed_ = false;
};

}  // namespace

os_status_t sign_file(const std::string& path, std::string_view identifier,
                      const signing_identity_t& identity) {
    if (!is_valid_identifier(identifier)) {
        return kParamErr;
    }
    unique_bio_t key_in = memory_bio(identity.private_key_pem);
    unique_pkey_t key(key_in ? PEM_read_bio_PrivateKey(key_in.get(), nullptr, nullptr, nullptr) : nullptr);
    unique_x509_stack_t leaf = read_certificates(identity.certificate_pem);
    unique_x509_stack_t intermediates = read_certificates(identity.chain_pem);
    if (!key || !leaf || sk_X509_num(leaf.get()) != 1 || !intermediates) {
        ERR_clear_error();
        return kParamErr;
    }

    owned_fd_t original(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!original.valid() || ::fstat(original.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return errSecCSNoSuchCode;
    }
    // A signature already appended is replaced, not signed over.
    const auto length = unsigned_length(original.get());
    if (!length) {
        return errSecCSBadObjectFormat;
    }
    const auto hash = hash_file_prefix(original.get(), *length);
    if (!hash) {
        return errSecCSNoSuchCode;
    }
    const auto directory = encode_code_directory({*length, *hash, std::string(identifier)});
    const auto signature =
        sign_content(directory, key.get(), sk_X509_value(leaf.get(), 0), intermediates.get());
    if (!signature) {
        return kParamErr;
    }
    const auto trailer = encode_trailer(
        {static_cast<std::uint32_t>(directory.size()), static_cast<std::uint32_t>(signature->size())});

    replacement_file_t replacement(path);
    if (replacement.fd() < 0 || !copy_prefix(original.get(), replacement.fd(), *length) ||
        !write_all(replacement.fd(), directory) || !write_all(replacement.fd(), *signature) ||
        !write_all(replacement.fd(), trailer)) {
        return errSecCSNoSuchCode;
    }
    // Ownership is kept where we may set it; an unprivileged signer keeps its own. The mode comes after it:
    // a change of owner clears a set-group-id bit, which a client that users run must keep.
    if (::fchown(replacement.fd(), info.st_uid, info.st_gid) != 0) {
        errno = 0;
    }
    if (::fchmod(replacement.fd(), info.st_mode & 07777) != 0 || !replacement.commit(path)) {
        return errSecCSNoSuchCode;
    }
    return errSecSuccess;
}

}  // namespace platform::codesign
