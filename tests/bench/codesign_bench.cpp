// Verifying a signed 20 MB executable against a plain SHA-256 of the same bytes: the signature check
// should cost little more than the hash it cannot avoid. The helper has it done by the verifier process,
// which adds the start of a process that loads OpenSSL.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <vector>

#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"
#include "platform/codesign/codesign.h"

namespace {

using namespace platform::codesign;

constexpr std::size_t kExecutableSize = 20 * 1024 * 1024;
constexpr const char* kRequirement =
    "identifier \"com.trellwick.quorvix-qv-00000001\" and anchor apple generic"
    " and certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */"
    " and certificate leaf[field.1.2.840.113635.100.6.1.13] /* exists */"
    " and certificate leaf[subject.OU] = QVTEAM0001";

struct signed_program_t {
    fixtures::sandbox_t sandbox;
    fixtures::test_pki_t pki;
    std::string path;

    signed_program_t() : path(sandbox.path("/program")) {
        std::vector<char> bytes(kExecutableSize);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 2654435761U >> 24);
        }
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        pki.trust_in_system_root();
        pki.sign_copy(path, path, "com.trellwick.quorvix-qv-00000001");
    }
};

signed_program_t& program() {
    static signed_program_t instance;
    return instance;
}

void BM_Sha256OfExecutable(benchmark::State& state) {
    const int fd = ::open(program().path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<unsigned char> buffer(1 << 20);
    for (auto _ : state) {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
        for (std::size_t offset = 0; offset < kExecutableSize; offset += buffer.size()) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context.get(), digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    ::close(fd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kExecutableSize));
}
BENCHMARK(BM_Sha256OfExecutable)->Unit(benchmark::kMillisecond);

// `check` judges the program against the admission requirement: in this process, or through the verifier
// process as the helper does.
template <typename Check>
void verify_signed_executable(benchmark::State& state, Check check) {
    std::unique_ptr<requirement_t> requirement;
    std::unique_ptr<code_t> code;
    if (create_requirement_with_string(kRequirement, requirement) != platform::errSecSuccess ||
        create_static_code_with_path(program().path, code) != platform::errSecSuccess) {
        state.SkipWithError("cannot set up the signed executable");
        return;
    }
    for (auto _ : state) {
        if (check(*code, *requirement) != platform::errSecSuccess) {
            state.SkipWithError("the signed executable did not verify");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kExecutableSize));
}

void BM_VerifySignedExecutable(benchmark::State& state) {
    verify_signed_executable(state, [](const code_t& code, const requirement_t& requirement) {
        return check_validity_with_anchors(&code, &requirement, platform_anchors_path());
    });
}
BENCHMARK(BM_VerifySignedExecutable)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VerifyThroughVerifierProcess(benchmark::State& state) {
    verify_signed_executable(state, [](const code_t& code, const requirement_t& requirement) {
        return check_validity(&code, requirement);
    });
}
BENCHMARK(BM_VerifyThroughVerifierProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
