// The dark-wake mode through a fake sysctl, and the two ways of restarting the computer.
#include <gtest/gtest.h>

#include "install/helper_sandbox.h"

namespace {

using calls_t = std::vector<std::vector<std::string>>;

class SystemSettings : public helper_tests::HelperSandbox {
protected:
    const std::shared_ptr<core::helper_tool_t> helper_ = make_helper();
};

TEST_F(SystemSettings, DarkwakeAnswersTheModeInForceBeforeTheChangeOrMinusOneWithAnError) {
    struct case_t {
        std::string output;
        int status;
        std::int32_t reply;
    };
    const case_t cases[] = {
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
        {"debug.darkwake: -> 3\n", 0, -1},
        {"debug.darkwake: off -> 3\n", 0, -1},
        {"sysctl: unknown oid 'debug.darkwake'\n", 0, -1},
        {"debug.darkwake: 0 -> 3\n", 1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "output \"" << c.output << "\", status " << c.status);
        sandbox_.clear_tool_log();
        restart_trace();
        sandbox_.set_tool_stdout("sysctl", c.output);
        sandbox_.set_tool_status("sysctl", c.status);

        EXPECT_EQ(ask<std::int32_t>([&](auto r) { helper_->set_darkwake_mode(3, r); }), c.reply);
        EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{sandbox_.path("/usr/sbin/sysctl"), "debug.darkwake=3"}}));
        EXPECT_EQ(records("error").size(), c.reply == -1 ? 1u : 0u) << trace();
    }
}

TEST_F(SystemSettings, DarkwakeModeIsPassedAsASignedDecimal) {
    sandbox_.set_tool_stdout("sysctl", "debug.darkwake: 1 -> -5\n");
    EXPECT_EQ(ask<std::int32_t>([&](auto r) { helper_->set_darkwake_mode(-5, r); }), 1);
    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{sandbox_.path("/usr/sbin/sysctl"), "debug.darkwake=-5"}}));
}

TEST_F(SystemSettings, RebootUnlocksOnlyWithBothCredentialsAndNeverShowsThem) {
    const std::string user = "marisol";
    const std::string password = "pa55 w0rd";
    struct case_t {
        std::optional<std::string> user;
        std::optional<std::string> password;
        bool unlocks;
    };
    const case_t cases[] = {
        {user, password, true},          {user, std::string(), false}, {std::string(), password, false},
        {std::nullopt, password, false}, {user, std::nullopt, false},
    };
    const calls_t plain = {{sandbox_.path("/sbin/shutdown"), "-r", "+6sec"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "user " << c.user.value_or("(nil)") << ", password "
                     << (c.password ? std::to_string(c.password->size()) + " chars" : "(nil)"));
        sandbox_.clear_tool_log();
        std::filesystem::remove(sandbox_.path("/var/fake/fdesetup.stdin"));

        EXPECT_EQ(ask<bool>([&](auto r) { helper_->reboot_computer_for_username(c.user, c.password, r); }),
                  true);

        const auto calls = sandbox_.tool_calls();
        if (c.unlocks) {
            ASSERT_EQ(calls.size(), 2u);
            EXPECT_EQ(calls[0][0], sandbox_.path("/usr/bin/fdesetup"));
            EXPECT_EQ(calls[1], plain[0]);
            EXPECT_NE(sandbox_.read_file("/var/fake/fdesetup.stdin").find(password), std::string::npos)
                << "the password goes on standard input";
        } else {
            EXPECT_EQ(calls, plain);
        }
        const std::string log = sandbox_.read_file("/var/log/tools.log");
        EXPECT_EQ(log.find(password), std::string::npos) << "the password is on a command line";
    }
    EXPECT_EQ(records("info").size(), std::size(cases));
    EXPECT_EQ(trace().find(user), std::string::npos) << trace();
    EXPECT_EQ(trace().find(password), std::string::npos) << trace();
}

TEST_F(SystemSettings, RebootAnswersNoWhenNoRestartWasSetInMotion) {
    sandbox_.set_tool_status("shutdown", 1);
    EXPECT_EQ(
        ask<bool>([&](auto r) { helper_->reboot_computer_for_username(std::nullopt, std::nullopt, r); }),
        false);
    sandbox_.set_tool_status("shutdown", 0);
    sandbox_.set_tool_status("fdesetup", 2);
    sandbox_.clear_tool_log();
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->reboot_computer_for_username("u", "p", r); }), false);
    ASSERT_EQ(sandbox_.tool_calls().size(), 1u) << "no plain restart after a refused unlock";
}

}  // namespace
