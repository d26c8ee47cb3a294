#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "admission_requirement.h"
#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/guest_process.h"
#include "platform/process_info.h"
#include "platform/service_accounts.h"

namespace {

using namespace platform;
using namespace platform::codesign;

// A child running `program` with exactly `environment`, started only once exec has happened.
class child_t {
public:
    child_t(const std::string& program, std::vector<std::string> environment) {
        int ready[2];
        EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
        std::vector<char*> env;
        for (auto& entry : environment) {
            env.push_back(entry.data());
        }
        env.push_back(nullptr);
        char seconds[] = "30";
        char* argv[] = {const_cast<char*>(program.c_str()), seconds, nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            execve(program.c_str(), argv, env.data());
            _exit(127);
        }
        close(ready[1]);
        // The write end closes on exec, so end-of-file means the child now runs `program`.
        char byte = 0;
        while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(ready[0]);
    }
    ~child_t() { reap(); }
    child_t(const child_t&) = delete;
    child_t& operator=(const child_t&) = delete;

    void reap() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    [[nodiscard]] audit_token_t token() const {
        audit_token_t token;
        token.pid = static_cast<std::uint32_t>(pid_);
        const auto stat = fixtures::read_text_file("/proc/" + std::to_string(pid_) + "/stat");
        token.pid_version = static_cast<std::uint32_t>(platform::parse_stat_start_time(stat).value_or(0));
        return token;
    }

private:
    pid_t pid_ = -1;
};

class Guest : public ::testing::Test {
protected:
    void SetUp() override {
        pki_.trust_in_system_root();
        program_ = sandbox_.path("/signed-sleep");
        pki_.sign_copy("/bin/sleep", program_, codesign_test::kClientIdentifier);
        ASSERT_EQ(create_requirement_with_string(codesign_test::admission_requirement(), requirement_),
                  errSecSuccess);
    }

    os_status_t validity_of(const audit_token_t& token) const {
        std::unique_ptr<code_t> code;
        if (const auto status = copy_guest_with_audit_token(token, code); status != errSecSuccess) {
            EXPECT_EQ(code, nullptr);
            return status;
        }
        return check_validity(code.get(), *requirement_);
    }

    fixtures::sandbox_t sandbox_;
    fixtures::test_pki_t pki_;
    std::string program_;
    std::unique_ptr<requirement_t> requirement_;
};

TEST_F(Guest, AdmitsARunningSignedProcessByItsToken) {
    child_t child(program_, {"PATH=/bin", "LANG=C"});
    EXPECT_EQ(validity_of(child.token()), errSecSuccess);
}

TEST_F(Guest, FindsNoCodeForAnExitedOrImpersonatedProcess) {
    child_t child(program_, {});
    const audit_token_t token = child.token();

    audit_token_t other_start = token;
    other_start.pid_version += 1;
    EXPECT_EQ(validity_of(other_start), errSecCSNoSuchCode) << "pid reused by a later process";
    EXPECT_EQ(validity_of(audit_token_t{}), errSecCSNoSuchCode) << "pid 0";

    std::unique_ptr<code_t> code;
    ASSERT_EQ(copy_guest_with_audit_token(token, code), errSecSuccess);
    child.reap();
    EXPECT_EQ(validity_of(token), errSecCSNoSuchCode) << "exited and reaped";
    EXPECT_NE(check_validity(code.get(), *requirement_), errSecSuccess) << "code taken before the exit";
}

// Code could enter a user's client through its starter unless a clean set-group-id exec made the kernel
// vouch for it (the ids it recorded at connect stand in the token), or through a tracer attached later.
TEST_F(Guest, RefusesGuestsTheKernelDoesNotVouchForOrThatAreTraced) {
    const gid_t client_group = service_accounts().client_group;
    struct case_t {
        const char* what;
        std::uint32_t euid;
        std::uint32_t egid;
        bool traced;
        os_status_t expected;
    };
    const case_t cases[] = {
        {"root's, any group", 0, 65534, false, errSecSuccess},
        {"a user's, in the client group", 65534, client_group, false, errSecSuccess},
        {"a user's, outside the client group", 65534, 65534, false, errSecCSGuestInvalid},
        {"a user's, client group as real group only", 65534, 0, false, errSecCSGuestInvalid},
        {"root's, traced", 0, 0, true, errSecCSGuestInvalid},
        {"a user's in the client group, traced", 65534, client_group, true, errSecCSGuestInvalid},
    };
    for (const auto& c : cases) {
        child_t child(program_, {"PATH=/bin"});
        if (c.traced) {
            // Seized, the child runs on as before, with this process as its tracer.
            ASSERT_EQ(ptrace(PTRACE_SEIZE, static_cast<pid_t>(child.token().pid), nullptr, nullptr), 0);
        }
        audit_token_t token = child.token();
        token.euid = c.euid;
        token.egid = c.egid;
        token.rgid = client_group;
        EXPECT_EQ(validity_of(token), c.expected) << c.what;
    }
}

TEST(GuestProcess, ReadsTheTracerFromItsOwnLine) {
    EXPECT_EQ(parse_tracer_pid("Name:\tsleep\nTracerPid:\t0\nUid:\t0\n"), 0U);
    EXPECT_EQ(parse_tracer_pid("Name:\tsleep\nTracerPid:\t4242\n"), 4242U);
    EXPECT_EQ(parse_tracer_pid("Name:\tTracerPid:\t0\n"), std::nullopt);
    EXPECT_EQ(parse_tracer_pid("TracerPid:\t\n"), std::nullopt);
}

}  // namespace
