// Restarts, the sleep-proxy probe and Launch Services registration, against fake tools in a sandbox.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "commands/external_commands.h"
#include "fixtures/sandbox.h"
#include "platform/launch_services.h"
#include "platform/property_list.h"
#include "support/trace_log.h"

namespace {

using commands::ExternalCommands;
using call_t = std::vector<std::string>;

// A sandbox with every fake tool and the trace log pointed into it.
class SystemCommands : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.install_all_fake_tools();
        support::trace_log_init();
        support::set_trace_path(support::string_t(sandbox_.path("/var/log/quorvix.trace")));
    }
    void TearDown() override { support::trace_log_init(); }

    [[nodiscard]] call_t call(std::vector<std::string> absolute) const {
        absolute.front() = sandbox_.path(absolute.front());
        return absolute;
    }
    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }

    fixtures::sandbox_t sandbox_;
};

TEST_F(SystemCommands, AuthenticatedRestartPassesCredentialsOnlyOnStandardInputThenReboots) {
    const std::string password = "p@ss word'\"<&>-u root";
    ASSERT_TRUE(ExternalCommands::forceRebootUser("alice", password));

    const std::vector<call_t> expected = {
        call({"/usr/bin/fdesetup", "authrestart", "-delayminutes", "-1", "-inputplist"}),
        call({"/sbin/shutdown", "-r", "+6sec"}),
    };
    EXPECT_EQ(sandbox_.tool_calls(), expected);
    EXPECT_EQ(sandbox_.read_file("/var/log/tools.log").find("p@ss"), std::string::npos);
    const auto input = platform::property_list_t::parse(sandbox_.read_file("/var/fake/fdesetup.stdin"));
    ASSERT_TRUE(input.has_value());
    EXPECT_EQ(input->root().string_for_key("Username"), "alice");
    EXPECT_EQ(input->root().string_for_key("Password"), password);
    EXPECT_EQ(trace().find("status"), std::string::npos);
}

TEST_F(SystemCommands, FailedAuthenticatedRestartNeverFallsBackToAPlainReboot) {
    sandbox_.set_tool_status("fdesetup", 3);
    EXPECT_FALSE(ExternalCommands::forceRebootUser("alice", "secret"));
    ASSERT_EQ(sandbox_.tool_calls().size(), 1u);
    EXPECT_EQ(sandbox_.tool_calls().front().front(), sandbox_.path("/usr/bin/fdesetup"));
    EXPECT_NE(trace().find("status 3"), std::string::npos) << trace();
    EXPECT_EQ(trace().find("secret"), std::string::npos);

    // fdesetup agreed but shutdown refused: the answer is shutdown's.
    sandbox_.set_tool_status("fdesetup", 0);
    sandbox_.set_tool_status("shutdown", 1);
    EXPECT_FALSE(ExternalCommands::forceRebootUser("alice", "secret"));
}

struct sleep_proxy_case_t {
    const char* name;
    const char* output;
    int status;
    bool found;
};

TEST_F(SystemCommands, SleepProxyCountsTheServiceOnlyAfterTheFirstOfThreeOrMoreLines) {
    const sleep_proxy_case_t cases[] = {
        {"browse result",
         "Browsing for _sleep-proxy._udp.local\nDATE: ---\n12:00 Add 3 4 local. _sleep-proxy._udp. x\n", 0,
         true},
        {"banner only mentions it", "Browsing for _sleep-proxy._udp\nDATE: ---\nnothing\n", 0, false},
        {"one line", "Add _sleep-proxy._udp", 0, false},
        {"two lines", "Browsing\nAdd _sleep-proxy._udp", 0, false},
        {"CR LF makes a third line", "Browsing\r\nAdd _sleep-proxy._udp", 0, true},
        {"tool failed", "Browsing\nx\nAdd _sleep-proxy._udp\n", 1, false},
        {"not UTF-8", "Browsing\nx\nAdd _sleep-proxy._udp \xff\n", 0, false},
    };
    for (const auto& c : cases) {
        sandbox_.set_tool_stdout("dns-sd", c.output);
        sandbox_.set_tool_status("dns-sd", c.status);
        EXPECT_EQ(ExternalCommands::detect_sleep_proxy(2), c.found) << c.name;
    }
    EXPECT_EQ(sandbox_.tool_calls().front(), call({"/usr/bin/dns-sd", "-B", "_sleep-proxy._udp", "local"}));
    // Shorter than a second is refused without running anything.
    sandbox_.clear_tool_log();
    EXPECT_FALSE(ExternalCommands::detect_sleep_proxy(0));
    EXPECT_TRUE(sandbox_.tool_calls().empty());
}

TEST(LaunchServices, RegistersBundlesByIdentifierAndRefusesOtherPaths) {
    fixtures::sandbox_t sandbox_;
    // An application bundle under /Applications; no identifier when `identifier` is empty.
    const auto make_bundle = [&sandbox_](const std::string& name, const std::string& identifier) {
        auto info = platform::property_list_t::dictionary();
        if (!identifier.empty()) {
            info.set("CFBundleIdentifier", platform::property_list_t::string(identifier));
        }
        sandbox_.write_file("/Applications/" + name + "/Contents/Info.plist", info.to_xml().value());
        return sandbox_.path("/Applications/" + name);
    };
    const std::string first = make_bundle("Quorvix.app", "com.trellwick.quorvix-qv-00000001");
    const std::string other = make_bundle("Other App.app", "com.example.other");
    const std::string moved = make_bundle("Quorvix 2.app", "com.trellwick.quorvix-qv-00000001");

    ASSERT_TRUE(ExternalCommands::ls_register_app(first));
    ASSERT_TRUE(ExternalCommands::ls_register_app(other));
    EXPECT_EQ(platform::ls_registered_path("com.trellwick.quorvix-qv-00000001"), first);
    ASSERT_TRUE(ExternalCommands::ls_register_app(moved));
    EXPECT_EQ(platform::ls_registered_path("com.trellwick.quorvix-qv-00000001"), moved);
    EXPECT_EQ(platform::ls_registered_path("com.example.other"), other);
    EXPECT_EQ(platform::ls_registered_path("com.example.never"), std::nullopt);
    EXPECT_EQ(sandbox_.read_file("/var/db/launchservices.plist").rfind("<?xml", 0), 0u);

    const std::string before = sandbox_.read_file("/var/db/launchservices.plist");
    sandbox_.write_file("/Applications/Broken.app/Contents/Info.plist", "not a plist");

    const std::string refused[] = {make_bundle("Anonymous.app", ""),
                                   sandbox_.path("/Applications/Missing.app"),
                                   sandbox_.path("/Applications/Broken.app")};
    for (const auto& path : refused) {
        EXPECT_EQ(platform::ls_register_url(path, true), platform::kLSApplicationNotFoundErr) << path;
        EXPECT_FALSE(ExternalCommands::ls_register_app(path)) << path;
    }
    EXPECT_EQ(sandbox_.read_file("/var/db/launchservices.plist"), before);
}

}  // namespace
