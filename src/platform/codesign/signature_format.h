#pragma once
// The signature appended to a signed executable: [executable E][code directory][CMS][trailer].
// Every length read from a file is bounded by the file's size and by the caps below before use.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os_status.h"

namespace platform::codesign {

inline constexpr std::string_view kCodeDirectoryMagic = "QVCD";
inline constexpr std::string_view kTrailerMagic = "QVCODESIGNATURE1";
inline constexpr std::uint16_t kCodeDirectoryVersion = 1;
inline constexpr std::uint16_t kHashTypeSha256 = 2;
inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kTrailerSize = 4 + 4 + kTrailerMagic.size();
inline constexpr std::size_t kCodeDirectoryFixedSize = 4 + 2 + 2 + 8 + kSha256Size + 2;
inline constexpr std::size_t kMaxIdentifierSize = 0xffff;
inline constexpr std::size_t kMaxCodeDirectorySize = kCodeDirectoryFixedSize + kMaxIdentifierSize;
// A CMS signature with a chain of a few certificates is a few kilobytes; anything near this is not ours.
inline constexpr std::size_t kMaxSignatureSize = 256 * 1024;

using sha256_t = std::array<std::uint8_t, kSha256Size>;

struct code_directory_t {
    std::uint64_t executable_length = 0;
    sha256_t executable_hash{};
    std::string identifier;
};

struct trailer_t {
    std::uint32_t code_directory_length = 0;
    std::uint32_t signature_length = 0;
};

// Identifiers are non-empty UTF-8 without NUL that fit the code directory.
[[nodiscard]] bool is_valid_identifier(std::string_view identifier);

[[nodiscard]] std::vector<std::uint8_t> encode_code_directory(const code_directory_t& directory);
// The whole of `bytes` must be exactly one well-formed code directory.
[[nodiscard]] std::optional<code_directory_t> parse_code_directory(std::span<const std::uint8_t> bytes);

[[nodiscard]] std::array<std::uint8_t, kTrailerSize> encode_trailer(const trailer_t& trailer);
// Absent when `bytes` (the last kTrailerSize bytes of a file) carry no trailer magic.
[[nodiscard]] std::optional<trailer_t> parse_trailer(std::span<const std::uint8_t> bytes);

// A signature as read from a file, its lengths checked against the file and each other.
struct signature_blob_t {
    std::uint64_t executable_length = 0;
    std::vector<std::uint8_t> code_directory_bytes;
    code_directory_t code_directory;
    std::vector<std::uint8_t> signature;
};

// Reads the signature of the open file `fd` with pread. errSecCSUnsigned when there is no trailer,
// errSecCSBadObjectFormat when the trailer or code directory is malformed.
[[nodiscard]] os_status_t read_signature(int fd, signature_blob_t& out);

// Where the executable ends: the whole file when unsigned, else the length before the signature.
// Absent when a trailer is present but malformed or the file cannot be examined.
[[nodiscard]] std::optional<std::uint64_t> unsigned_length(int fd);

// SHA-256 of the first `length` bytes of `fd`; absent on a read error or a short file.
[[nodiscard]] std::optional<sha256_t> hash_file_prefix(int fd, std::uint64_t length);

}  // namespace platform::codesign
