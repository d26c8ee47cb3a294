// The dark-wake mode through a fake sysctl, and the two ways of restarting the computer.
#include <gtest/gtest.h>

#include "install/helper_sandbox.h"

namespace {

using helper_tests::calls_t;

class SystemSettings : public helper_tests::HelperSandbox {
protected:
    const std::shared_ptr<core::helper_tool_t> helper_ = make_helper();
};

TEST_F(SystemSettings, DarkwakeAnswersTheModeInForceBeforeTheChangeOrMinusOneWithAnError) {
    // sysctl's output and status, and the reply.
    const std::tuple<std::string, int, std::int32_t> cases[] = {
        {"debug.darkwake: 0 -> 3\n", 0, 0},
        {"debug.darkwake: 3 -> 0\n", 0, 3},
        {"debug.darkwake:   -2->3", 0, -2},
        {"debug.darkwake: 12abc -> 3\n", 0, 12},
        {"debug.darkwake: 99999999999 -> 3\n", 0, 2147483647},
        {"debug.darkwake: 3\n", 0, -1},
        {"", 0, -1},
        {"-1 -> 2\n", 0, -1},
        {"debug.darkwake: -1 -> 2\n", 0, -1},
        {"debug.darkwake: 0 -> 3 -> 4\n", 0, -1},
        {"debug.darkwake: off -> 3\n", 0, 0},
        {"debug.darkwake: 0 -> 3\n", 1, -1},
    };
    for (const auto& [output, status, reply] : cases) {
        SCOPED_TRACE(testing::Message() << "output \"" << output << "\", status " << status);
        sandbox_.clear_tool_log();
        restart_trace();
        sandbox_.set_tool_stdout("sysctl", output);
        sandbox_.set_tool_status("sysctl", status);

        EXPECT_EQ(ask<std::int32_t>([&](auto r) { helper_->set_darkwake_mode(-3, r); }), reply);
        EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{sandbox_.path("/usr/sbin/sysctl"), "debug.darkwake=-3"}}));
        EXPECT_EQ(records("error").size(), reply == -1 ? 1u : 0u) << trace();
    }
}

TEST_F(SystemSettings, RebootUnlocksOnlyWithBothCredentialsAndNeverShowsThem) {
    const std::string user = "marisol";
    const std::string password = "pa55 w0rd";
    const std::tuple<std::optional<std::string>, std::optional<std::string>, bool> cases[] = {
        {user, password, true},          {user, std::string(), false}, {std::string(), password, false},
        {std::nullopt, password, false}, {user, std::nullopt, false},
    };
    const std::vector<std::string> plain = {sandbox_.path("/sbin/shutdown"), "-r", "+6sec"};
    for (const auto& [user_name, secret, unlocks] : cases) {
        SCOPED_TRACE(testing::Message() << user_name.value_or("(nil)") << ", " << secret.has_value());
        sandbox_.clear_tool_log();
        std::filesystem::remove(sandbox_.path("/var/fake/fdesetup.stdin"));

        EXPECT_EQ(ask<bool>([&](auto r) { helper_->reboot_computer_for_username(user_name, secret, r); }),
                  true);

        const auto calls = sandbox_.tool_calls();
        EXPECT_EQ(calls.back(), plain);
        EXPECT_EQ(calls.size(), unlocks ? 2u : 1u);
        if (unlocks) {
            EXPECT_EQ(calls[0][0], sandbox_.path("/usr/bin/fdesetup"));
            EXPECT_NE(sandbox_.read_file("/var/fake/fdesetup.stdin").find(password), std::string::npos);
        }
        EXPECT_EQ(sandbox_.read_file("/var/log/tools.log").find(password), std::string::npos);
    }
    EXPECT_EQ(trace().find(user), std::string::npos) << trace();
    EXPECT_EQ(trace().find(password), std::string::npos) << trace();

    // No restart set in motion: NO, and no plain restart after a refused unlock.
    sandbox_.set_tool_status("fdesetup", 2);
    sandbox_.clear_tool_log();
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->reboot_computer_for_username(user, password, r); }), false);
    EXPECT_EQ(sandbox_.tool_calls().size(), 1u);
    sandbox_.set_tool_status("shutdown", 1);
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->reboot_computer_for_username(user, "", r); }), false);
}

}  // namespace
