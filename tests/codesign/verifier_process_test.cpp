#include "platform/codesign/verifier_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "admission_requirement.h"
#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/verifier_protocol.h"
#include "platform/owned_fd.h"

namespace {

using namespace platform;
using namespace platform::codesign;
namespace fs = std::filesystem;

// The verifier answers only a whole, well-formed request with success; everything else it is handed fails.
TEST(VerifierProcess, FailsClosedOnAnythingButAWholeRequest) {
    fixtures::sandbox_t sandbox;
    fixtures::test_pki_t pki;
    pki.trust_in_system_root();
    const fs::path program = sandbox.path("/program");
    std::ofstream(program, std::ios::binary) << std::string(4096, 'q');
    pki.sign_copy(program, program, codesign_test::kClientIdentifier);
    const owned_fd_t signed_program(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
    const owned_fd_t nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::string requirement = codesign_test::admission_requirement();

    EXPECT_EQ(run_code_verifier(signed_program.get(), platform_anchors_path(), requirement), errSecSuccess);
    EXPECT_EQ(run_code_verifier(nothing.get(), platform_anchors_path(), requirement),
              errSecCSBadObjectFormat);
    EXPECT_EQ(run_code_verifier(signed_program.get(), platform_anchors_path(), "identifier ("),
              errSecCSReqInvalid);
    EXPECT_EQ(
        run_code_verifier(signed_program.get(), platform_anchors_path(), requirement + std::string(1, '\0')),
        kParamErr);
    EXPECT_EQ(run_code_verifier(signed_program.get(), sandbox.path("/no/anchors.pem"), requirement),
              errSecCSSignatureFailed);

    // Called with a wrong number of arguments, it refuses instead of judging something else.
    const fs::path verifier = fs::read_symlink("/proc/self/exe").parent_path() / verifier::kExecutableName;
    const int status = std::system(("'" + verifier.string() + "' only-one-argument < /dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(verifier::status_for_exit(WEXITSTATUS(status)), kParamErr);
}

// Admissions wait for the verifier one at a time, so one that hangs (here on anchors that never arrive)
// is ended, reaped and taken for a failure.
TEST(VerifierProcess, IsEndedWhenItHasNotAnsweredInTime) {
    using namespace std::chrono_literals;
    fixtures::sandbox_t sandbox;
    fixtures::test_pki_t pki;
    pki.trust_in_system_root();
    const fs::path program = sandbox.path("/program");
    std::ofstream(program, std::ios::binary) << std::string(4096, 'q');
    pki.sign_copy(program, program, codesign_test::kClientIdentifier);
    const owned_fd_t signed_program(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
    const std::string stalled_anchors = sandbox.path("/etc/codesign/stalled.pem");
    ASSERT_EQ(::mkfifo(stalled_anchors.c_str(), 0600), 0);

    auto verdict = std::async(std::launch::async, [&] {
        return run_code_verifier(signed_program.get(), stalled_anchors,
                                 codesign_test::admission_requirement(), 100ms);
    });
    const bool answered = verdict.wait_for(10s) == std::future_status::ready;
    // Lets a verifier that was not ended go on, so that a failure does not hang the test.
    static_cast<void>(owned_fd_t(::open(stalled_anchors.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)));
    ASSERT_TRUE(answered) << "the verifier was waited for beyond its time";
    EXPECT_EQ(verdict.get(), errSecCSInternalError);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a verifier was left unreaped";
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
