// The Authorization Services stand-in: references made from external forms, rules, and the rights
// database shared with other processes.
#include "platform/authorization_services.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <span>
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

// Runs `body` in a child process that sees `passwd` and `group` as /etc/passwd and /etc/group, in a
// mount namespace of its own, and returns what it wrote; absent when no such namespace can be made.
std::optional<std::string> with_own_user_database(const fixtures::sandbox_t& sandbox,
                                                  const std::string& passwd, const std::string& group,
                                                  const std::function<std::string()>& body) {
    sandbox.write_file("/tmp/passwd", passwd);
    sandbox.write_file("/tmp/group", group);
    int out[2];
    if (pipe(out) != 0) {
        return std::nullopt;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        const bool own =
            unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount(sandbox.path("/tmp/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) == 0 &&
            mount(sandbox.path("/tmp/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0;
        if (!own) {
            _exit(2);
        }
        const std::string result = body();
        const bool written =
            write(out[1], result.data(), result.size()) == static_cast<ssize_t>(result.size());
        _exit(written ? 0 : 1);
    }
    close(out[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
        result.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 2) {
        return std::nullopt;
    }
    return result;
}

TEST_F(AuthorizationServices, EachRuleGrantsItsUsersAndIsAdminEachAdminGroup) {
    // Users of each admin group, as a supplementary and as the primary group, and users of none.
    const std::string passwd =
        "root:x:0:0::/root:/bin/sh\n"
        "in-admin:x:61001:61000::/:/bin/sh\n"
        "in-sudo:x:61002:61000::/:/bin/sh\n"
        "in-wheel:x:61003:61000::/:/bin/sh\n"
        "wheel-first:x:61004:61012::/:/bin/sh\n"
        "in-staff:x:61005:61000::/:/bin/sh\n";
    const std::string group =
        "root:x:0:\nusers:x:61000:\nadmin:x:61010:in-admin\nsudo:x:61011:in-sudo\nwheel:x:61012:in-wheel\n"
        "staff:x:61013:in-staff\n";
    struct user_t {
        const char* name;
        uid_t uid;
        bool admin;
    };
    // Root and nobody first: they need no user database of the test's own.
    const user_t users[] = {
        {"root", 0, true},          {"nobody", 65534, false},  {"in-admin", 61001, true},
        {"in-sudo", 61002, true},   {"in-wheel", 61003, true}, {"wheel-first", 61004, true},
        {"in-staff", 61005, false},
    };
    constexpr platform::os_status_t granted = 0, denied = -60005;
    struct rule_t {
        const char* right;  // the rule it is defined with, after "test."
        bool as_removed;    // checked as the database answers once it no longer holds the right
        platform::os_status_t root, admin, other;
    };
    const rule_t rules[] = {
        {"allow", false, granted, granted, granted},   {"deny", false, denied, denied, denied},
        {"is-admin", false, granted, granted, denied}, {"authenticate-admin", false, granted, denied, denied},
        {"default", false, granted, denied, denied},   {"missing", false, granted, denied, denied},
        {"frobnicate", false, denied, denied, denied}, {"allow", true, granted, denied, denied},
    };
    const auto root = services_.create();
    for (const rule_t& rule : rules) {
        if (std::string_view(rule.right) != "missing") {
            ASSERT_EQ(services_.right_set(root.reference.handle(), std::string("test.") + rule.right,
                                          rule.right, std::nullopt, std::nullopt),
                      0);
        }
    }

    const auto mismatches_of = [&](std::span<const user_t> checked) {
        std::string found;
        for (const user_t& user : checked) {
            const authorization_subject_t subject = subject_of(getpid(), user.uid);
            const auto created = services_.create_from_external_form(form_of(subject), token_of(subject));
            if (platform::user_is_admin(user.uid) != user.admin) {
                found += std::string(user.name) + ": is-admin says otherwise\n";
            }
            for (const rule_t& rule : rules) {
                const std::vector<platform::authorization_item_t> right{
                    {std::string("test.") + rule.right, {}, 0}};
                const platform::os_status_t status =
                    rule.as_removed ? services_.copy_rights_as_removed(created.reference.handle(), right, 3)
                                    : services_.copy_rights(created.reference.handle(), right, 3);
                const platform::os_status_t expected = user.uid == 0 ? rule.root
                                                       : user.admin  ? rule.admin
                                                                     : rule.other;
                if (status != expected) {
                    found += std::string(user.name) + ", " + rule.right +
                             (rule.as_removed ? " as removed" : "") + ": " + std::to_string(status) +
                             " instead of " + std::to_string(expected) + "\n";
                }
            }
        }
        return found;
    };
    EXPECT_EQ(mismatches_of(std::span(users).first(2)), "");
    const platform::authorization_handle_t freed = services_.create().reference.handle();
    EXPECT_EQ(services_.copy_rights(freed, {{"test.allow", {}, 0}}, 3), -60002);

    const auto mismatches =
        with_own_user_database(sandbox_, passwd, group, [&] { return mismatches_of(users); });
    if (!mismatches) {
        GTEST_SKIP() << "no mount namespace of our own for the users of each admin group";
    }
    EXPECT_EQ(*mismatches, "");
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
