// The Authorization Services stand-in: references made from external forms, rules, and the rights
// database shared with other processes.
#include "platform/authorization_services.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "fixtures/sandbox.h"
#include "platform/authorization_form.h"
#include "platform/authorization_rules.h"
#include "platform/process_info.h"

namespace {

using platform::audit_token_t;
using platform::authorization_subject_t;
using bytes_t = std::vector<std::uint8_t>;

authorization_subject_t subject_of(pid_t pid, uid_t uid) {
    return {static_cast<std::uint32_t>(pid), uid, platform::process_start_time(pid).value_or(0)};
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
};

TEST_F(AuthorizationServices, ExternalFormMustNameTheConnectionsPeer) {
    const authorization_subject_t self = subject_of(getpid(), geteuid());
    const authorization_subject_t init = subject_of(1, 0);
    authorization_subject_t wrong_uid = self, wrong_start = self;
    wrong_uid.uid += 1;
    wrong_start.start_time += 1ull << 32;  // the token's low 32 bits still agree
    bytes_t short_form = form_of(self);
    short_form.pop_back();
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
        {"another process's form", form_of(init), token_of(self), -60002},
        {"form handed to another peer", form_of(self), token_of(init), -60002},
        {"forged uid", form_of(wrong_uid), token_of(self), -60002},
        {"forged start time", form_of(wrong_start), token_of(wrong_start), -60002},
        {"random bytes", random, token_of(self), -60002},
        {"31 bytes", short_form, token_of(self), -60002},
        {"no connection", form_of(self), std::nullopt, -60002},
    };
    for (const case_t& c : cases) {
        const auto created = services_.create_from_external_form(c.form, c.peer);
        EXPECT_EQ(created.status, c.status) << c.name;
        EXPECT_EQ(static_cast<bool>(created.reference), c.status == 0) << c.name;
    }
    EXPECT_EQ(services_.live_references(), 0u) << "every reference is freed by its owner";
}

TEST_F(AuthorizationServices, RulesGrantRootAndDenyOthersExceptAllowAndUnknownRulesDenyEveryone) {
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
    for (const case_t& c : cases) {
        const std::string right = std::string("test.") + (c.rule ? c.rule : "missing");
        EXPECT_EQ(platform::evaluate_authorization_rule(c.rule ? c.rule : "default", 65534), c.nobody)
            << right;
        if (c.rule != nullptr) {
            ASSERT_EQ(services_.right_set(root.reference.handle(), right, c.rule, std::nullopt, std::nullopt),
                      0);
        }
        EXPECT_EQ(services_.copy_rights(root.reference.handle(), {{right, {}, 0}}, 3), c.root) << right;
    }
    const platform::authorization_handle_t freed = services_.create().reference.handle();
    EXPECT_EQ(services_.copy_rights(freed, {{"test.allow", {}, 0}}, 3), -60002);
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
    const std::string tool =
        "'" + sandbox_.path("/usr/bin/security") + "' authorizationdb remove \"it's.removed\"";
    const int tool_status = std::system(tool.c_str());
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(tool_status, 0);
    EXPECT_EQ(services_.right_get("it's.removed").status, -60005) << "the tool removes names with quotes";
    EXPECT_EQ(services_.right_remove(root.reference.handle(), "it's.removed"), -60005);
}

}  // namespace
