// The authorization check end to end: the helper process, its rights database, and signed clients of
// different users, plus the client's own work on the rights database.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/helper_process.h"
#include "platform/authorization_form.h"

namespace {

using fixtures::run_program;

std::string hex(const platform::authorization_external_form_t& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

class AuthorizationEndToEnd : public testing::Test {
protected:
    // quorvix-helperctl as root, or its copy for users through setpriv with other ids.
    fixtures::run_result_t helperctl(const std::vector<std::string>& arguments,
                                     std::vector<std::string> ids = {}) {
        if (ids.empty()) {
            return run_program(sandbox_, clients_.helperctl(), arguments);
        }
        ids.push_back(clients_.user_helperctl().string());
        ids.insert(ids.end(), arguments.begin(), arguments.end());
        return run_program(sandbox_, "/usr/bin/setpriv", ids);
    }
    const std::vector<std::string> nobody_ = {"--reuid=65534", "--regid=65534", "--clear-groups"};

    fixtures::sandbox_t sandbox_;
    fixtures::signed_clients_t clients_{sandbox_};
    fixtures::helper_process_t helper_{sandbox_};
};

TEST_F(AuthorizationEndToEnd, GlobalSettingsAreUnlockedForRootOnlyAndOnlyWithItsOwnForm) {
    EXPECT_EQ(helperctl({"check-global-settings"}).out, "YES\n");
    const auto nobody = helperctl({"check-global-settings"}, nobody_);
    EXPECT_EQ(nobody.exit_status, 1) << nobody.err;
    EXPECT_EQ(nobody.out, "NO\n");
    // Only the effective user counts, on both sides: root with another real user is still root.
    const auto effective_root = helperctl({"check-global-settings"}, {"--ruid=65534"});
    EXPECT_EQ(effective_root.exit_status, 0) << effective_root.err;
    EXPECT_EQ(effective_root.out, "YES\n");
    // The test process's form, sent by the client: it names a process other than the peer.
    const auto borrowed = platform::make_authorization_form_for_self();
    ASSERT_TRUE(borrowed);
    EXPECT_EQ(helperctl({"check-global-settings", "--auth-hex", hex(*borrowed)}).out, "NO\n");
    EXPECT_EQ(helperctl({"check-global-settings", "--auth-hex", std::string(62, 'a')}).out, "NO\n");

    const std::string trace = sandbox_.read_file("/var/log/quorvix.trace");
    EXPECT_NE(trace.find("Code=-60005"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Code=-60002"), std::string::npos) << trace;
    EXPECT_NE(trace.find("(OSStatus error -50.)"), std::string::npos) << trace;
}

// A change the database did not take fails with one line, and prints no rights.
void expect_database_unchanged(const fixtures::run_result_t& result, const std::string& reason) {
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
}

TEST_F(AuthorizationEndToEnd, RightsAreSetUpAndDeletedByAnAdministratorAndARefusedInstallLeavesThem) {
    // Without /var/db there is nothing to write to; nothing to remove either.
    std::filesystem::rename(sandbox_.path("/var/db"), sandbox_.path("/var/db.away"));
    expect_database_unchanged(helperctl({"setup-rights"}),
                              "could not be written; its directory does not exist");
    EXPECT_EQ(helperctl({"delete-rights"}).exit_status, 0);
    std::filesystem::rename(sandbox_.path("/var/db.away"), sandbox_.path("/var/db"));
    expect_database_unchanged(helperctl({"setup-rights"}, nobody_), "could not be written");

    const auto setup = helperctl({"setup-rights"});
    EXPECT_EQ(setup.exit_status, 0) << setup.err;
    EXPECT_NE(setup.out.find("com.trellwick.Quorvix.Helper.install_quorvix\tis-admin\n"), std::string::npos)
        << setup.out;
    EXPECT_NE(setup.out.find("com.trellwick.Quorvix.Helper.global_settings\tauthenticate-admin\n"),
              std::string::npos)
        << setup.out;
    // The helper reads the database afresh: a right opened to everyone lets nobody in.
    const auto rules = [&](const std::string& statement) {
        return run_program(sandbox_, "/usr/bin/sqlite3", {sandbox_.path("/var/db/auth.db"), statement});
    };
    ASSERT_EQ(rules("UPDATE rules SET rule = 'allow' WHERE name LIKE '%.global_settings' OR name LIKE "
                    "'%.install_quorvix'")
                  .exit_status,
              0);
    EXPECT_EQ(helperctl({"check-global-settings"}, nobody_).out, "YES\n");
    expect_database_unchanged(helperctl({"delete-rights"}, nobody_), "could not be changed");
    // Except the install: it checks its right as its reset of the rights leaves it, under `default`, and a
    // refused install resets nothing.
    sandbox_.install_fake_security_tool();
    const std::string before = rules("SELECT * FROM rules ORDER BY name").out;
    ASSERT_EQ(std::count(before.begin(), before.end(), '\n'), 4) << before;
    EXPECT_EQ(helperctl({"install", "--bundle", sandbox_.path("/Volumes/Quorvix/Quorvix.app"), "--sysconfig",
                         sandbox_.path("/tmp"), "--namespace", "quorvix_e2e"},
                        nobody_)
                  .out,
              "NO\n");
    EXPECT_EQ(rules("SELECT * FROM rules ORDER BY name").out, before);
    EXPECT_TRUE(sandbox_.tool_calls().empty()) << "a refused install ran the security tool";

    const auto removed = helperctl({"delete-rights"});
    EXPECT_EQ(removed.exit_status, 0) << removed.err;
    EXPECT_EQ(std::count(removed.out.begin(), removed.out.end(), '\n'), 4) << removed.out;
    EXPECT_EQ(removed.out.find("admin"), std::string::npos) << removed.out;
    EXPECT_EQ(helperctl({"check-global-settings"}, nobody_).out, "NO\n");
}

}  // namespace
