#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "admission_requirement.h"
#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"
#include "platform/codesign/cms_signature.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/signature_format.h"
#include "platform/service_accounts.h"

namespace {

using namespace platform;
using namespace platform::codesign;
namespace fs = std::filesystem;
using bytes_t = std::vector<std::uint8_t>;

bytes_t read_bytes(const fs::path& path) {
    const std::string text = fixtures::read_text_file(path);
    return bytes_t(text.begin(), text.end());
}

void write_bytes(const fs::path& path, const bytes_t& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class SignatureVerification : public ::testing::Test {
protected:
    void SetUp() override {
        trusted_.trust_in_system_root();
        program_ = sandbox_.path("/program");
        write_bytes(program_, bytes_t(4096, 0xc3));
        fs::permissions(program_, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    }

    // The validity check the helper makes when it admits a client, through the verifier process; the
    // same check made in this process must come to the same status.
    os_status_t admission_status(const fs::path& path, const std::string& requirement_text) const {
        std::unique_ptr<requirement_t> requirement;
        std::unique_ptr<code_t> code;
        const os_status_t compiled = create_requirement_with_string(requirement_text, requirement);
        EXPECT_EQ(compiled, errSecSuccess);
        if (compiled != errSecSuccess || create_static_code_with_path(path, code) != errSecSuccess) {
            return compiled;
        }
        const os_status_t status = check_validity(code.get(), *requirement);
        EXPECT_EQ(status, check_validity_with_anchors(code.get(), requirement.get(), platform_anchors_path()))
            << path;
        return status;
    }
    os_status_t admission_status(const fs::path& path) const {
        return admission_status(path, codesign_test::admission_requirement());
    }

    // Replaces the CMS part of a signed file with `signature`, keeping its code directory.
    void replace_cms(const fs::path& path, const bytes_t& signature) const {
        const bytes_t file = read_bytes(path);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        signature_blob_t blob;
        ASSERT_EQ(read_signature(fd, blob), errSecSuccess);
        ::close(fd);
        bytes_t rebuilt(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(blob.executable_length));
        rebuilt.insert(rebuilt.end(), blob.code_directory_bytes.begin(), blob.code_directory_bytes.end());
        rebuilt.insert(rebuilt.end(), signature.begin(), signature.end());
        const auto trailer = encode_trailer({static_cast<std::uint32_t>(blob.code_directory_bytes.size()),
                                             static_cast<std::uint32_t>(signature.size())});
        rebuilt.insert(rebuilt.end(), trailer.begin(), trailer.end());
        write_bytes(path, rebuilt);
    }

    fixtures::sandbox_t sandbox_;
    fixtures::test_pki_t trusted_;
    fs::path program_;
};

TEST_F(SignatureVerification, AdmitsCodeSignedByTheTeamUnderTheClientIdentifier) {
    trusted_.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    EXPECT_EQ(admission_status(program_), errSecSuccess);
}

TEST_F(SignatureVerification, RefusesCodeThatDoesNotMeetTheAdmissionRequirement) {
    struct case_t {
        const char* name;
        fixtures::test_pki_options_t pki;
        const char* identifier;
        os_status_t status;
    };
    const case_t cases[] = {
        {"wrong identifier", {}, "com.trellwick.quorvix-qv-00000002", errSecCSReqFailed},
        {"identifier with a suffix", {}, "com.trellwick.quorvix-qv-00000001.evil", errSecCSReqFailed},
        {"other team", {.team_id = "QVTEAM0002"}, codesign_test::kClientIdentifier, errSecCSReqFailed},
        {"leaf without developer extension",
         {.leaf_extension = false},
         codesign_test::kClientIdentifier,
         errSecCSReqFailed},
        {"intermediate without developer CA extension",
         {.intermediate_extension = false},
         codesign_test::kClientIdentifier,
         errSecCSReqFailed},
        {"chain to a foreign root of the same name",
         {.foreign_root = true},
         codesign_test::kClientIdentifier,
         errSecCSSignatureFailed},
    };
    for (const auto& c : cases) {
        const fixtures::test_pki_t pki(c.pki);
        pki.trust_in_system_root();
        pki.sign_copy(program_, sandbox_.path("/candidate"), c.identifier);
        EXPECT_EQ(admission_status(sandbox_.path("/candidate")), c.status) << c.name;
    }
}

TEST_F(SignatureVerification, RefusesUnsignedOrAlteredCode) {
    EXPECT_EQ(admission_status(program_), errSecCSUnsigned) << "unsigned";

    trusted_.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    const bytes_t signed_bytes = read_bytes(program_);
    const std::size_t offsets[] = {0, 2048, 4095};
    for (std::size_t offset : offsets) {
        bytes_t altered = signed_bytes;
        altered[offset] ^= 0x01;
        write_bytes(program_, altered);
        EXPECT_EQ(admission_status(program_), errSecCSSignatureFailed) << "byte " << offset << " changed";
    }
    bytes_t renamed = signed_bytes;
    renamed[4096 + kCodeDirectoryFixedSize] ^=
        0x01;  // first identifier byte: code directory no longer signed
    write_bytes(program_, renamed);
    EXPECT_EQ(admission_status(program_), errSecCSSignatureFailed) << "identifier changed";
}

TEST_F(SignatureVerification, RefusesSignaturesThatAreNotOursToTrust) {
    trusted_.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    const bytes_t original = read_bytes(program_);
    const int fd = ::open(program_.c_str(), O_RDONLY | O_CLOEXEC);
    signature_blob_t blob;
    ASSERT_EQ(read_signature(fd, blob), errSecSuccess);
    ::close(fd);

    // A signer outside the trusted chain that carries the trusted certificates along with its own.
    const fixtures::test_pki_t stranger({.foreign_root = true});
    auto pem_certificate = [](const std::string& pem) {
        unique_bio_t in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        return unique_x509_t(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    };
    unique_bio_t key_in(
        BIO_new_mem_buf(stranger.key_pem().data(), static_cast<int>(stranger.key_pem().size())));
    unique_pkey_t stranger_key(PEM_read_bio_PrivateKey(key_in.get(), nullptr, nullptr, nullptr));
    unique_x509_t stranger_leaf = pem_certificate(stranger.leaf_pem());
    unique_x509_stack_t carried(sk_X509_new_null());
    sk_X509_push(carried.get(), pem_certificate(trusted_.leaf_pem()).release());
    sk_X509_push(carried.get(), pem_certificate(trusted_.intermediate_pem()).release());
    const auto outside =
        sign_content(blob.code_directory_bytes, stranger_key.get(), stranger_leaf.get(), carried.get());
    ASSERT_TRUE(outside.has_value());

    bytes_t not_der = blob.signature;
    not_der[0] = 0x04;
    bytes_t truncated(blob.signature.begin(), blob.signature.end() - 10);
    struct case_t {
        const char* name;
        bytes_t signature;
    };
    const case_t cases[] = {
        {"signer outside the chain", *outside},
        {"not DER", not_der},
        {"truncated DER", truncated},
        {"random bytes", bytes_t(300, 0x7f)},
    };
    for (const auto& c : cases) {
        write_bytes(program_, original);
        replace_cms(program_, c.signature);
        EXPECT_EQ(admission_status(program_), errSecCSSignatureFailed) << c.name;
    }
}

TEST_F(SignatureVerification, AcceptsExpiredCertificatesAsForTimestampedCode) {
    const fixtures::test_pki_t expired({.expired = true});
    expired.trust_in_system_root();
    expired.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    EXPECT_EQ(admission_status(program_), errSecSuccess);
}

TEST_F(SignatureVerification, TrustsNothingWithoutAnAnchorStore) {
    trusted_.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    fs::remove(sandbox_.path("/etc/codesign/anchors.pem"));
    EXPECT_EQ(admission_status(program_), errSecCSSignatureFailed);
}

TEST_F(SignatureVerification, ResigningReplacesTheSignatureAndKeepsTheModeAndOwners) {
    // A client that users run keeps its group and its set-group-id bit when it is signed in place.
    ASSERT_EQ(::chown(program_.c_str(), 0, service_accounts().client_group), 0);
    fs::permissions(program_, fs::perms(02751));
    trusted_.sign_copy(program_, program_, "com.example.first");
    ASSERT_EQ(sign_file(program_, codesign_test::kClientIdentifier, trusted_.identity()), errSecSuccess);

    const int fd = ::open(program_.c_str(), O_RDONLY | O_CLOEXEC);
    signature_blob_t blob;
    ASSERT_EQ(read_signature(fd, blob), errSecSuccess);
    ::close(fd);
    EXPECT_EQ(blob.executable_length, 4096U) << "the first signature was signed over";
    EXPECT_EQ(blob.code_directory.identifier, codesign_test::kClientIdentifier);
    EXPECT_EQ(admission_status(program_), errSecSuccess);
    struct stat signed_program {};
    ASSERT_EQ(::stat(program_.c_str(), &signed_program), 0);
    EXPECT_EQ(signed_program.st_mode & 07777, 02751u);
    EXPECT_EQ(signed_program.st_gid, service_accounts().client_group);
    for (const auto& entry : fs::directory_iterator(sandbox_.root())) {
        EXPECT_EQ(entry.path().string().find(".qvsign-"), std::string::npos)
            << "left behind " << entry.path();
    }
}

TEST_F(SignatureVerification, RefusesToSignWithUnusableInput) {
    const auto before = read_bytes(program_);
    const fixtures::test_pki_t other;
    struct case_t {
        const char* name;
        std::string identifier;
        signing_identity_t identity;
        os_status_t status;
    };
    const case_t cases[] = {
        {"NUL in identifier", std::string("com.a\0b", 7), trusted_.identity(), kParamErr},
        {"empty identifier", "", trusted_.identity(), kParamErr},
        {"key of another certificate",
         "com.example",
         {other.key_pem(), trusted_.leaf_pem(), trusted_.intermediate_pem()},
         kParamErr},
        {"no certificate", "com.example", {trusted_.key_pem(), "", ""}, kParamErr},
        {"not a key", "com.example", {"garbage", trusted_.leaf_pem(), ""}, kParamErr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sign_file(program_, c.identifier, c.identity), c.status) << c.name;
        EXPECT_EQ(read_bytes(program_), before) << c.name << " changed the file";
    }
}

TEST_F(SignatureVerification, ReportsWhatTheSignatureCarries) {
    const fixtures::test_pki_t pki({.team_id = "ABCDE12345", .common_name = "Quorvix Developer: Ada"});
    pki.sign_copy(program_, program_, codesign_test::kClientIdentifier);
    std::unique_ptr<code_t> code;
    ASSERT_EQ(create_static_code_with_path(program_, code), errSecSuccess);
    signing_information_t information;
    ASSERT_EQ(copy_signing_information(*code, information), errSecSuccess);

    EXPECT_EQ(information.identifier, codesign_test::kClientIdentifier);
    EXPECT_EQ(information.leaf_organizational_unit, "ABCDE12345");
    EXPECT_EQ(information.leaf_common_name, "Quorvix Developer: Ada");
    ASSERT_EQ(information.certificate_subjects.size(), 2U);
    EXPECT_NE(information.certificate_subjects[0].find("Quorvix Developer: Ada"), std::string::npos);
    EXPECT_NE(information.certificate_subjects[1].find("Quorvix Test Developer CA"), std::string::npos);
}

TEST(CodeValidity, FailsWithoutCode) {
    std::unique_ptr<requirement_t> requirement;
    ASSERT_EQ(create_requirement_with_string(codesign_test::admission_requirement(), requirement),
              errSecSuccess);
    EXPECT_EQ(check_validity(nullptr, *requirement), errSecCSNoSuchCode);
    std::unique_ptr<code_t> code;
    EXPECT_EQ(create_static_code_with_path("/no/such/program", code), errSecCSNoSuchCode);
    EXPECT_EQ(code, nullptr);
}

}  // namespace
