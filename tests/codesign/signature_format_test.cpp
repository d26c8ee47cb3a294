#include "platform/codesign/signature_format.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "platform/owned_fd.h"

namespace {

using namespace platform;
using namespace platform::codesign;
using bytes_t = std::vector<std::uint8_t>;

bytes_t text_bytes(std::string_view text) {
    return bytes_t(text.begin(), text.end());
}

void put_u16(bytes_t& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// A file in memory with exactly `content`, read through the same descriptor path as a real file.
platform::owned_fd_t memory_file(const bytes_t& content) {
    platform::owned_fd_t fd(memfd_create("signature-format-test", MFD_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(write(fd.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
    return fd;
}

code_directory_t directory_for(const bytes_t& executable, std::string identifier) {
    return {executable.size(), {}, std::move(identifier)};
}

// [E][CD][S][trailer] with the trailer's lengths as given.
bytes_t assemble(const bytes_t& executable, const bytes_t& directory, const bytes_t& signature,
                 std::uint32_t directory_length, std::uint32_t signature_length) {
    bytes_t file = executable;
    file.insert(file.end(), directory.begin(), directory.end());
    file.insert(file.end(), signature.begin(), signature.end());
    const auto trailer = encode_trailer({directory_length, signature_length});
    file.insert(file.end(), trailer.begin(), trailer.end());
    return file;
}

TEST(SignatureFormat, CodeDirectoryRoundTripsWithLittleEndianFields) {
    code_directory_t directory{0x0102030405060708ULL, {}, "com.trellwick.quorvix-qv-00000001"};
    directory.executable_hash.fill(0xab);
    const bytes_t encoded = encode_code_directory(directory);

    ASSERT_EQ(encoded.size(), kCodeDirectoryFixedSize + directory.identifier.size());
    EXPECT_EQ(std::memcmp(encoded.data(), "QVCD", 4), 0);
    EXPECT_EQ(encoded[4], 1);
    EXPECT_EQ(encoded[6], 2);
    EXPECT_EQ(encoded[8], 0x08);
    EXPECT_EQ(encoded[15], 0x01);
    const auto parsed = parse_code_directory(encoded);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->executable_length, directory.executable_length);
    EXPECT_EQ(parsed->executable_hash, directory.executable_hash);
    EXPECT_EQ(parsed->identifier, directory.identifier);
}

TEST(SignatureFormat, RejectsMalformedCodeDirectories) {
    const bytes_t good = encode_code_directory({10, {}, "com.example.tool"});
    struct case_t {
        const char* name;
        bytes_t bytes;
    };
    std::vector<case_t> cases;
    auto with = [&](const char* name, auto change) {
        bytes_t bytes = good;
        change(bytes);
        cases.push_back({name, std::move(bytes)});
    };
    with("other magic", [](bytes_t& b) { b[0] = 'X'; });
    with("version 2", [](bytes_t& b) { put_u16(b, 4, 2); });
    with("hash type 1", [](bytes_t& b) { put_u16(b, 6, 1); });
    with("identifier longer than its bytes", [](bytes_t& b) { put_u16(b, 48, 17); });
    with("identifier shorter than its bytes", [](bytes_t& b) { put_u16(b, 48, 15); });
    with("trailing byte", [](bytes_t& b) { b.push_back('x'); });
    with("truncated fixed part", [](bytes_t& b) { b.resize(30); });
    with("NUL in identifier", [](bytes_t& b) { b[52] = '\0'; });
    with("invalid UTF-8 in identifier", [](bytes_t& b) { b[52] = 0xff; });
    with("empty identifier", [](bytes_t& b) {
        b.resize(kCodeDirectoryFixedSize);
        put_u16(b, 48, 0);
    });
    for (const auto& c : cases) {
        EXPECT_FALSE(parse_code_directory(c.bytes).has_value()) << c.name;
    }
}

TEST(SignatureFormat, AcceptsOnlyWellFormedUtf8IdentifiersWithoutNul) {
    struct case_t {
        std::string identifier;
        bool valid;
    };
    const case_t cases[] = {
        {"com.trellwick.quorvix-qv-00000001", true},
        {"caf\xc3\xa9", true},
        {"\xf0\x9f\x94\x92", true},
        {"", false},
        {std::string("a\0b", 3), false},
        {"\xc0\xaf", false},          // overlong '/'
        {"\xed\xa0\x80", false},      // surrogate
        {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xe2\x82", false},          // truncated
        {std::string(kMaxIdentifierSize, 'a'), true},
        {std::string(kMaxIdentifierSize + 1, 'a'), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_identifier(c.identifier), c.valid) << c.identifier.size() << " bytes";
    }
}

TEST(SignatureFormat, ReadsTheSignatureItsTrailerDescribes) {
    const bytes_t executable = text_bytes("#!/bin/sh\necho hello\n");
    const bytes_t directory = encode_code_directory(directory_for(executable, "com.example.tool"));
    const bytes_t signature = text_bytes("cms-bytes");
    const auto fd =
        memory_file(assemble(executable, directory, signature, directory.size(), signature.size()));

    signature_blob_t blob;
    ASSERT_EQ(read_signature(fd.get(), blob), errSecSuccess);
    EXPECT_EQ(blob.executable_length, executable.size());
    EXPECT_EQ(blob.code_directory_bytes, directory);
    EXPECT_EQ(blob.signature, signature);
    EXPECT_EQ(blob.code_directory.identifier, "com.example.tool");
    EXPECT_EQ(unsigned_length(fd.get()), executable.size());
}

TEST(SignatureFormat, RefusesTrailersItCannotTrust) {
    const bytes_t executable(100, 0x90);
    const bytes_t directory = encode_code_directory(directory_for(executable, "com.example.tool"));
    const bytes_t signature(40, 0x30);
    const auto d = static_cast<std::uint32_t>(directory.size());
    const auto s = static_cast<std::uint32_t>(signature.size());
    bytes_t other_hash_directory = directory;
    put_u16(other_hash_directory, 6, 1);
    struct case_t {
        const char* name;
        bytes_t file;
        os_status_t status;
    };
    const case_t cases[] = {
        {"no trailer", executable, errSecCSUnsigned},
        {"shorter than a trailer", bytes_t(10, 'Q'), errSecCSUnsigned},
        {"empty file", bytes_t{}, errSecCSUnsigned},
        {"lengths beyond the file", assemble(executable, directory, signature, 0xffffff00, 0xffffff00),
         errSecCSBadObjectFormat},
        {"signature length beyond the file", assemble({}, directory, signature, d, s + 1),
         errSecCSBadObjectFormat},
        {"directory under its fixed size", assemble(executable, directory, signature, 10, s),
         errSecCSBadObjectFormat},
        {"signature over its cap", assemble(executable, directory, signature, d, kMaxSignatureSize + 1),
         errSecCSBadObjectFormat},
        {"empty signature", assemble(executable, directory, {}, d, 0), errSecCSBadObjectFormat},
        {"directory for another executable length", assemble(bytes_t(99, 0x90), directory, signature, d, s),
         errSecCSBadObjectFormat},
        {"directory with another hash type", assemble(executable, other_hash_directory, signature, d, s),
         errSecCSBadObjectFormat},
    };
    for (const auto& c : cases) {
        const auto fd = memory_file(c.file);
        signature_blob_t blob;
        EXPECT_EQ(read_signature(fd.get(), blob), c.status) << c.name;
    }
}

TEST(SignatureFormat, HashesOnlyThePrefixOfTheFile) {
    bytes_t content(3 * 1024 * 1024 + 7, 0x5a);
    const auto fd = memory_file(content);
    const auto whole = hash_file_prefix(fd.get(), content.size());
    const auto prefix = hash_file_prefix(fd.get(), content.size() - 1);
    ASSERT_TRUE(whole && prefix);
    EXPECT_NE(*whole, *prefix);
    EXPECT_FALSE(hash_file_prefix(fd.get(), content.size() + 1).has_value()) << "a short file must not hash";
}

}  // namespace
