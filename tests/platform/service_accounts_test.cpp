#include "platform/service_accounts.h"

#include <gtest/gtest.h>

namespace {

// The helper starts only with both accounts, each its own: never root's ids, never nobody's, and the
// verifier never in the client group.
TEST(ServiceAccounts, AreFoundOnlyWhenBothExistAsAccountsOfTheirOwn) {
    struct case_t {
        const char* group;
        const char* user;
        const char* named_in_the_problem;
    };
    const case_t refused[] = {
        {"no-such-group-qv", "quorvix-verifier", "the group no-such-group-qv"},
        {"root", "quorvix-verifier", "the group root"},
        {"nogroup", "quorvix-verifier", "the group nogroup"},
        {"quorvix-client", "no-such-user-qv", "the user no-such-user-qv"},
        {"quorvix-client", "root", "the user root"},
        {"quorvix-client", "nobody", "the user nobody"},
        {"quorvix-verifier", "quorvix-verifier", "the user quorvix-verifier"},
    };
    for (const auto& c : refused) {
        std::string problem;
        EXPECT_FALSE(platform::look_up_service_accounts(&problem, c.group, c.user))
            << c.group << ", " << c.user;
        EXPECT_EQ(problem.find(c.named_in_the_problem), 0u) << problem;
        EXPECT_NE(problem.find("systemd-sysusers /usr/lib/sysusers.d/quorvix-helper.conf"), std::string::npos)
            << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos) << "one line";
    }
    std::string problem;
    const auto accounts = platform::look_up_service_accounts(&problem);
    ASSERT_TRUE(accounts) << problem << " (make deps creates the accounts)";
    EXPECT_NE(accounts->client_group, accounts->verifier_group);
}

}  // namespace
