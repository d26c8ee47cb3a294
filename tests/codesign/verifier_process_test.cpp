#include "platform/codesign/verifier_process.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
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
#include "platform/codesign/verifier_account.h"
#include "platform/codesign/verifier_protocol.h"
#include "platform/owned_fd.h"
#include "platform/service_accounts.h"

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

    // Called with a wrong number of arguments, or an account of root's or nobody's, it refuses instead of
    // judging something else or as someone else.
    const fs::path verifier = fs::read_symlink("/proc/self/exe").parent_path() / verifier::kExecutableName;
    const std::string valid_call =
        "'" + verifier.string() + "' '" + platform_anchors_path() + "' 'identifier x' ";
    const std::string calls[] = {
        "'" + verifier.string() + "' only-one-argument",
        valid_call + "0 0",
        valid_call + "65534 65534",
        valid_call + std::to_string(service_accounts().verifier_user) + " 65534",
        valid_call + "-1 " + std::to_string(service_accounts().verifier_group),
    };
    for (const auto& call : calls) {
        const int status = std::system((call + " < '" + program.string() + "'").c_str());
        ASSERT_TRUE(WIFEXITED(status)) << call;
        EXPECT_EQ(verifier::status_for_exit(WEXITSTATUS(status)), kParamErr) << call;
    }
}

// The verifier becomes its own account for good before it reads a client's bytes: no user can signal or
// trace it, and nothing it could run regains root.
TEST(VerifierProcess, GivesUpRootForItsOwnAccountForGood) {
    fixtures::sandbox_t sandbox;
    const service_accounts_t accounts = service_accounts();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const gid_t extra[] = {0, 4};
        if (::setgroups(2, extra) != 0 ||
            !verifier::give_up_root_for(accounts.verifier_user, accounts.verifier_group)) {
            ::_exit(1);
        }
        uid_t r = 0, e = 0, saved = 0;
        gid_t rg = 0, eg = 0, savedg = 0;
        const bool users = ::getresuid(&r, &e, &saved) == 0 && r == accounts.verifier_user &&
                           e == accounts.verifier_user && saved == accounts.verifier_user;
        const bool groups = ::getresgid(&rg, &eg, &savedg) == 0 && rg == accounts.verifier_group &&
                            eg == accounts.verifier_group && savedg == accounts.verifier_group;
        const bool no_supplementary = ::getgroups(0, nullptr) == 0;
        const bool no_new_privs = ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
        ::_exit((users ? 0 : 2) | (groups ? 0 : 4) | (no_supplementary ? 0 : 8) | (no_new_privs ? 0 : 16));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: failed, 2: user ids, 4: group ids, 8: supplementary groups kept, "
           "16: no no_new_privs";
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
