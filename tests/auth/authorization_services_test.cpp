// The Authorization Services stand-in: references made from external forms, rules, and the rights
// database shared with other processes.
#include "platform/authorization_services.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "fixtures/sandbox.h"
#include "platform/authorization_form.h"
#include "platform/process_info.h"

namespace {

using platform::audit_token_t;
using platform::authorization_subject_t;
using bytes_t = std::vector<std::uint8_t>;

constexpr std::uint32_t kNobody = 65534;

// A process of the user nobody that waits to be killed.
class nobody_process_t {
public:
    nobody_process_t() {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            const bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
            (void)!write(ready[1], dropped ? "y" : "n", 1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char answer = 'n';
        (void)!read(ready[0], &answer, 1);
        close(ready[0]);
        EXPECT_EQ(answer, 'y');
    }
    ~nobody_process_t() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    [[nodiscard]] authorization_subject_t subject() const {
        return {static_cast<std::uint32_t>(pid_), kNobody, platform::process_start_time(pid_).value_or(0)};
    }

private:
    pid_t pid_ = -1;
};

authorization_subject_t own_subject() {
    return {static_cast<std::uint32_t>(getpid()), static_cast<std::uint32_t>(geteuid()),
            platform::process_start_time(getpid()).value_or(0)};
}

// The token a connection from the subject's process would carry.
audit_token_t token_of(const authorization_subject_t& subject) {
    audit_token_t token;
    token.pid = subject.pid;
    token.euid = subject.uid;
    token.pid_version = static_cast<std::uint32_t>(subject.start_time);
    return token;
}

bytes_t form_of(const authorization_subject_t& subject) {
    const auto form = platform::encode_authorization_form(subject);
    return {form.begin(), form.end()};
}

class AuthorizationServices : public testing::Test {
protected:
    fixtures::sandbox_t sandbox_;
    platform::sqlite_authorization_services_t services_{sandbox_.path("/var/db/auth.db")};
    nobody_process_t nobody_;
};

TEST_F(AuthorizationServices, ExternalFormMustNameTheConnectionsPeer) {
    const authorization_subject_t self = own_subject();
    authorization_subject_t wrong_uid = self, wrong_start = self;
    wrong_uid.uid += 1;
    wrong_start.start_time += 1ull << 32;  // the token's low 32 bits still agree
    bytes_t random(32);
    std::generate(random.begin(), random.end(),
                  [n = 5u]() mutable { return static_cast<std::uint8_t>(n *= 33); });
    struct case_t {
        const char* name;
        bytes_t form;
        std::optional<audit_token_t> peer;
        platform::os_status_t status;
    };
    const case_t cases[] = {
        {"own form", form_of(self), token_of(self), 0},
        {"another process's form", form_of(nobody_.subject()), token_of(self), -60002},
        {"form handed to another peer", form_of(self), token_of(nobody_.subject()), -60002},
        {"forged uid", form_of(wrong_uid), token_of(self), -60002},
        {"forged start time", form_of(wrong_start), token_of(wrong_start), -60002},
        {"random bytes", random, token_of(self), -60002},
        {"31 bytes", bytes_t(form_of(self).begin(), form_of(self).end() - 1), token_of(self), -60002},
        {"no connection", form_of(self), std::nullopt, -60002},
    };
    for (const case_t& c : cases) {
        const auto created = services_.create_from_external_form(c.form, c.peer);
        EXPECT_EQ(created.status, c.status) << c.name;
        EXPECT_EQ(static_cast<bool>(created.reference), c.status == 0) << c.name;
    }
    EXPECT_EQ(services_.live_references(), 0u);
}

TEST_F(AuthorizationServices, RulesGrantRootAndDenyNobodyExceptAllow) {
    struct case_t {
        const char* rule;  // null: the right is missing from the database
        platform::os_status_t root, nobody;
    };
    const case_t cases[] = {
        {"allow", 0, 0},
        {"deny", -60005, -60005},
        {"is-admin", 0, -60005},
        {"authenticate-admin", 0, -60005},
        {"default", 0, -60005},
        {nullptr, 0, -60005},
        {"frobnicate", -60005, -60005},
    };
    const auto root = services_.create();
    const auto nobody =
        services_.create_from_external_form(form_of(nobody_.subject()), token_of(nobody_.subject()));
    ASSERT_EQ(nobody.status, 0);
    for (const case_t& c : cases) {
        const std::string right = std::string("test.") + (c.rule ? c.rule : "missing");
        if (c.rule != nullptr) {
            ASSERT_EQ(services_.right_set(root.reference.handle(), right, c.rule, std::nullopt, std::nullopt),
                      0);
        }
        const std::vector<platform::authorization_item_t> rights{{right, {}, 0}};
        EXPECT_EQ(services_.copy_rights(root.reference.handle(), rights, 3), c.root) << right;
        EXPECT_EQ(services_.copy_rights(nobody.reference.handle(), rights, 3), c.nobody) << right;
    }
    // Only an administrator changes the database.
    EXPECT_EQ(services_.right_set(nobody.reference.handle(), "test.allow", "deny", {}, {}), -60005);
    EXPECT_EQ(services_.right_remove(nobody.reference.handle(), "test.allow"), -60005);
    const auto kept = services_.right_get("test.allow");
    ASSERT_TRUE(kept.definition);
    EXPECT_EQ(kept.definition->rule, "allow");
}

TEST_F(AuthorizationServices, FreedReferenceIsNoLongerValid) {
    platform::authorization_handle_t handle = 0;
    {
        const auto created = services_.create();
        handle = created.reference.handle();
        EXPECT_EQ(services_.live_references(), 1u);
    }
    EXPECT_EQ(services_.live_references(), 0u);
    EXPECT_EQ(services_.free(handle, 0), -60002);
    EXPECT_EQ(services_.copy_rights(handle, {{"test.allow", {}, 0}}, 3), -60002);
    EXPECT_EQ(services_.right_set(handle, "x", "allow", {}, {}), -60002);
}

TEST_F(AuthorizationServices, DatabaseSurvivesWritersInThreadsAndTheSecurityTool) {
    sandbox_.install_fake_security_tool();
    const auto root = services_.create();
    ASSERT_EQ(services_.right_set(root.reference.handle(), "it's.removed", "allow", {}, {}), 0);
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const std::string right = "test." + std::to_string(t) + "." + std::to_string(i);
                failures += services_.right_set(root.reference.handle(), right, "allow", {}, {}) != 0;
                failures += services_.right_get(right).status != 0;
                failures += services_.right_remove(root.reference.handle(), right) != 0;
            }
        });
    }
    const int tool_status = std::system(
        ("'" + sandbox_.path("/usr/bin/security") + "' authorizationdb remove \"it's.removed\"").c_str());
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(tool_status, 0);
    EXPECT_EQ(services_.right_get("it's.removed").status, -60005) << "the tool removes names with quotes";
    EXPECT_EQ(services_.right_remove(root.reference.handle(), "it's.removed"), -60005);
}

}  // namespace
