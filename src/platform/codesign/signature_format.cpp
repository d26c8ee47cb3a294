#include "platform/codesign/signature_format.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/codesign/openssl_handles.h"

namespace platform::codesign {
namespace {

class writer_t {
public:
    void bytes(std::span<const std::uint8_t> data) { out_.insert(out_.end(), data.begin(), data.end()); }
    void text(std::string_view data) {
        out_.insert(out_.end(), reinterpret_cast<const std::uint8_t*>(data.data()),
                    reinterpret_cast<const std::uint8_t*>(data.data()) + data.size());
    }
    template <typename T>
    void little_endian(T value) {
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    [[nodiscard]] std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

class reader_t {
public:
    explicit reader_t(std::span<const std::uint8_t> data) : data_(data) {}

    template <typename T>
    [[nodiscard]] bool little_endian(T& value) {
        if (remaining() < sizeof(T)) {
            return false;
        }
        value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            value |= static_cast<T>(static_cast<T>(data_[offset_ + i]) << (8 * i));
        }
        offset_ += sizeof(T);
        return true;
    }
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> bytes(std::size_t count) {
        if (remaining() < count) {
            return std::nullopt;
        }
        auto result = data_.subspan(offset_, count);
        offset_ += count;
        return result;
    }
    [[nodiscard]] std::size_t remaining() const { return data_.size() - offset_; }

private:
    std::span<const std::uint8_t> data_;
    std::size_t offset_ = 0;
};

bool equals_text(std::span<const std::uint8_t> bytes, std::string_view text) {
    return bytes.size() == text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

// Well-formed UTF-8 as the standard defines it: shortest forms only, no surrogates, at most U+10FFFF.
bool is_valid_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xbf;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const unsigned char next = p[i];
            const unsigned char lower = i == 1 ? low : 0x80;
            const unsigned char upper = i == 1 ? high : 0xbf;
            if (next < lower || next > upper) {
                return false;
            }
        }
        p += length;
    }
    return true;
}

// Reads exactly `buffer.size()` bytes at `offset`.
bool pread_exact(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n =
            ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::uint64_t> file_size(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

struct layout_t {
    trailer_t trailer;
    std::uint64_t executable_length = 0;
};

// Locates the parts of a signed file; the lengths are checked against the size before anything is read.
os_status_t read_layout(int fd, layout_t& out) {
    const auto size = file_size(fd);
    if (!size) {
        return errSecCSBadObjectFormat;
    }
    if (*size < kTrailerSize) {
        return errSecCSUnsigned;
    }
    std::array<std::uint8_t, kTrailerSize> tail{};
    if (!pread_exact(fd, tail, *size - kTrailerSize)) {
        return errSecCSBadObjectFormat;
    }
    const auto trailer = parse_trailer(tail);
    if (!trailer) {
        return errSecCSUnsigned;
    }
    const std::uint64_t directory = trailer->code_directory_length;
    const std::uint64_t signature = trailer->signature_length;
    if (directory < kCodeDirectoryFixedSize || directory > kMaxCodeDirectorySize || signature == 0 ||
        signature > kMaxSignatureSize || directory + signature > *size - kTrailerSize) {
        return errSecCSBadObjectFormat;
    }
    out.trailer = *trailer;
    out.executable_length = *size - kTrailerSize - directory - signature;
    return errSecSuccess;
}

}  // namespace

bool is_valid_identifier(std::string_view identifier) {
    return !identifier.empty() && identifier.size() <= kMaxIdentifierSize &&
           identifier.find('\0') == std::string_view::npos && is_valid_utf8(identifier);
}

std::vector<std::uint8_t> encode_code_directory(const code_directory_t& directory) {
    writer_t out;
    out.text(kCodeDirectoryMagic);
    out.little_endian(kCodeDirectoryVersion);
    out.little_endian(kHashTypeSha256);
    out.little_endian(directory.executable_length);
    out.bytes(directory.executable_hash);
    out.little_endian(static_cast<std::uint16_t>(directory.identifier.size()));
    out.text(directory.identifier);
    return out.take();
}

std::optional<code_directory_t> parse_code_directory(std::span<const std::uint8_t> bytes) {
    reader_t in(bytes);
    const auto magic = in.bytes(kCodeDirectoryMagic.size());
    std::uint16_t version = 0;
    std::uint16_t hash_type = 0;
    code_directory_t directory;
    if (!magic || !equals_text(*magic, kCodeDirectoryMagic) || !in.little_endian(version) ||
        version != kCodeDirectoryVersion || !in.little_endian(hash_type) || hash_type != kHashTypeSha256 ||
        !in.little_endian(directory.executable_length)) {
        return std::nullopt;
    }
    const auto hash = in.bytes(kSha256Size);
    std::uint16_t identifier_length = 0;
    if (!hash || !in.little_endian(identifier_length) || in.remaining() != identifier_length) {
        return std::nullopt;
    }
    std::copy(hash->begin(), hash->end(), directory.executable_hash.begin());
    const auto identifier = in.bytes(identifier_length);
    directory.identifier.assign(reinterpret_cast<const char*>(identifier->data()), identifier->size());
    if (!is_valid_identifier(directory.identifier)) {
        return std::nullopt;
    }
    return directory;
}

std::array<std::uint8_t, kTrailerSize> encode_trailer(const trailer_t& trailer) {
    writer_t out;
    out.little_endian(trailer.code_directory_length);
    out.little_endian(trailer.signature_length);
    out.text(kTrailerMagic);
    const auto bytes = out.take();
    std::array<std::uint8_t, kTrailerSize> result{};
    std::copy(bytes.begin(), bytes.end(), result.begin());
    return result;
}

std::optional<trailer_t> parse_trailer(std::span<const std::uint8_t> bytes) {
    reader_t in(bytes);
    trailer_t trailer;
    if (bytes.size() != kTrailerSize || !in.little_endian(trailer.code_directory_length) ||
        !in.little_endian(trailer.signature_length)) {
        return std::nullopt;
    }
    const auto magic = in.bytes(kTrailerMagic.size());
    if (!magic || !equals_text(*magic, kTrailerMagic)) {
        return std::nullopt;
    }
    return trailer;
}

os_status_t read_signature(int fd, signature_blob_t& out) {
    layout_t layout;
    if (const os_status_t status = read_layout(fd, layout); status != errSecSuccess) {
        return status;
    }
    signature_blob_t blob;
    blob.executable_length = layout.executable_length;
    blob.code_directory_bytes.resize(layout.trailer.code_directory_length);
    blob.signature.resize(layout.trailer.signature_length);
    if (!pread_exact(fd, blob.code_directory_bytes, layout.executable_length) ||
        !pread_exact(fd, blob.signature, layout.executable_length + blob.code_directory_bytes.size())) {
        return errSecCSBadObjectFormat;
    }
    auto directory = parse_code_directory(blob.code_directory_bytes);
    if (!directory || directory->executable_length != layout.executable_length) {
        return errSecCSBadObjectFormat;
    }
    blob.code_directory = std::move(*directory);
    out = std::move(blob);
    return errSecSuccess;
}

std::optional<std::uint64_t> unsigned_length(int fd) {
    layout_t layout;
    const os_status_t status = read_layout(fd, layout);
    if (status == errSecSuccess) {
        return layout.executable_length;
    }
    if (status == errSecCSUnsigned) {
        return file_size(fd);
    }
    return std::nullopt;
}

std::optional<sha256_t> hash_file_prefix(int fd, std::uint64_t length) {
    unique_evp_md_ctx_t context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    constexpr std::size_t kChunkSize = 1 << 20;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunkSize)));
    for (std::uint64_t offset = 0; offset < length;) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, kChunkSize));
        std::span<std::uint8_t> part(buffer.data(), chunk);
        if (!pread_exact(fd, part, offset) ||
            EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) {
            return std::nullopt;
        }
        offset += chunk;
    }
    sha256_t digest{};
    unsigned int digest_length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &digest_length) != 1 ||
        digest_length != kSha256Size) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace platform::codesign
