// Command lines of the catalogue's tool operations, run against fake tools in a sandbox root.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "fixtures/sandbox.h"

namespace {

using commands::ExternalCommands;

struct command_case_t {
    const char* name;
    std::function<bool()> run;
    std::vector<std::string> expected;  // tool path under the root, then its arguments
};

class ToolCommands : public ::testing::Test {
protected:
    void SetUp() override { sandbox_.install_all_fake_tools(); }

    [[nodiscard]] std::vector<command_case_t> cases() const {
        const std::string spaced = sandbox_.path("/Applications/My Quorvix.app");
        return {
            {"bootstrap",
             [] { return ExternalCommands::launchd_bootstrap("/L/D/job.plist"); },
             {"/bin/launchctl", "bootstrap", "system", "/L/D/job.plist"}},
            {"bootout",
             [] { return ExternalCommands::launchd_bootout("/L/D/job.plist"); },
             {"/bin/launchctl", "bootout", "system", "/L/D/job.plist"}},
            {"start",
             [] { return ExternalCommands::launchd_start("com.trellwick.x.service"); },
             {"/bin/launchctl", "start", "com.trellwick.x.service"}},
            {"stop",
             [] { return ExternalCommands::launchd_stop("com.trellwick.x.service"); },
             {"/bin/launchctl", "stop", "com.trellwick.x.service"}},
            {"chmod flat",
             [=] { return ExternalCommands::chmod(spaced, 0775, false); },
             {"/bin/chmod", "775", spaced}},
            {"chmod recursive",
             [=] { return ExternalCommands::chmod(spaced, 0664, true); },
             {"/bin/chmod", "-R", "664", spaced}},
            {"chmod trace file",
             [] { return ExternalCommands::chmod("/t", 0666, false); },
             {"/bin/chmod", "666", "/t"}},
            {"chown flat",
             [=] { return ExternalCommands::chown(spaced, "root", "staff", false); },
             {"/usr/sbin/chown", "root:staff", spaced}},
            {"chown recursive",
             [=] { return ExternalCommands::chown(spaced, "root", "wheel", true); },
             {"/usr/sbin/chown", "-R", "root:wheel", spaced}},
            {"quarantine",
             [=] { return ExternalCommands::removeOpenWarningFromQuorvix(spaced); },
             {"/usr/bin/xattr", "-d", "-r", "-s", "com.apple.quarantine", spaced}},
            {"eject",
             [] { return ExternalCommands::ejectQuorvixDMG("/Volumes/Quorvix 2"); },
             {"/usr/bin/hdiutil", "detach", "/Volumes/Quorvix 2", "-force"}},
            {"authorization",
             [] { return ExternalCommands::remove_authorization("com.trellwick.Quorvix.Helper.x"); },
             {"/usr/bin/security", "authorizationdb", "remove", "com.trellwick.Quorvix.Helper.x"}},
            {"reboot", [] { return ExternalCommands::force_reboot(); }, {"/sbin/shutdown", "-r", "+6sec"}},
        };
    }

    fixtures::sandbox_t sandbox_;
};

TEST_F(ToolCommands, RunEachToolWithItsExactArgumentsAndReportSuccess) {
    for (const auto& c : cases()) {
        sandbox_.clear_tool_log();
        EXPECT_TRUE(c.run()) << c.name;
        std::vector<std::string> expected = c.expected;
        expected.front() = sandbox_.path(expected.front());
        const std::vector<std::vector<std::string>> calls = sandbox_.tool_calls();
        ASSERT_EQ(calls.size(), 1u) << c.name;
        EXPECT_EQ(calls.front(), expected) << c.name;
    }
}

TEST_F(ToolCommands, ReportNoForAnyNonZeroStatus) {
    for (const char* tool : {"launchctl", "chmod", "chown", "xattr", "hdiutil", "security", "shutdown"}) {
        sandbox_.set_tool_status(tool, 2);
    }
    for (const auto& c : cases()) {
        EXPECT_FALSE(c.run()) << c.name;
    }
}

// What the helper warns of at start: a tool a request runs that is absent, not executable or not a file;
// the tools of operations no request uses do not count.
TEST_F(ToolCommands, MissingToolsAreThoseOfRequestsThatAreNoExecutableFile) {
    EXPECT_EQ(commands::missing_system_tools(), std::vector<std::string>{});
    std::filesystem::remove(sandbox_.path("/usr/bin/hdiutil"));
    std::filesystem::permissions(sandbox_.path("/usr/bin/security"), std::filesystem::perms::owner_read);
    std::filesystem::remove(sandbox_.path("/usr/sbin/sysctl"));
    std::filesystem::create_directory(sandbox_.path("/usr/sbin/sysctl"));
    std::filesystem::remove(sandbox_.path("/usr/bin/dns-sd"));
    EXPECT_EQ(commands::missing_system_tools(),
              (std::vector<std::string>{sandbox_.path("/usr/bin/hdiutil"), sandbox_.path("/usr/bin/security"),
                                        sandbox_.path("/usr/sbin/sysctl")}));
}

TEST(OwnershipLookups, FindIdentifiersByNameAndAnswerNoIdentifierOtherwise) {
    struct lookup_case_t {
        const char* name;
        std::uint32_t uid;
        std::uint32_t gid;
    };
    const lookup_case_t cases[] = {
        {"root", 0, 0},
        {"", ExternalCommands::kNoIdentifier, ExternalCommands::kNoIdentifier},
        {"no-such-account-qv", ExternalCommands::kNoIdentifier, ExternalCommands::kNoIdentifier},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExternalCommands::uid(c.name), c.uid) << c.name;
        EXPECT_EQ(ExternalCommands::gid(c.name), c.gid) << c.name;
    }
}

}  // namespace
