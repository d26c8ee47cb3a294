// The real helper in a sandbox root, driven through quorvix-helperctl.
#include <gtest/gtest.h>

#include "fixtures/helper_process.h"
#include "install/namespace_names.h"
#include "platform/property_list.h"

namespace {

using calls_t = std::vector<std::vector<std::string>>;

TEST(ServiceControlProcess, ServiceInstalledByHandIsStartedQueriedSwitchedAndStopped) {
    fixtures::sandbox_t sandbox;
    sandbox.install_all_fake_tools();
    const fixtures::signed_clients_t clients(sandbox);
    const install::namespace_names_t names("demo_ns");
    sandbox.write_file(
        "/Library/LaunchDaemons/com.trellwick.demo_ns.service.plist",
        "<plist version=\"1.0\"><dict><key>Label</key><string>com.trellwick.demo_ns.service</string>"
        "<key>Disabled</key><true/><key>RunAtLoad</key><true/></dict></plist>\n");
    fixtures::helper_process_t helper(sandbox);
    // The reply line (NO exits 1), or the exit status and standard error when there was none.
    const auto helperctl = [&](const std::vector<std::string>& arguments, const std::string& input = {}) {
        const auto result = fixtures::run_program(sandbox, clients.helperctl(), arguments, input);
        return result.exit_status == (result.out == "NO\n" ? 1 : 0)
                   ? result.out
                   : "exit " + std::to_string(result.exit_status) + ": " + result.err;
    };
    const std::string launchctl = sandbox.path("/bin/launchctl");

    EXPECT_EQ(helperctl({"is-disabled", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"start-service", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"is-disabled", "demo_ns"}), "NO\n");
    EXPECT_EQ(helperctl({"set-autostart", "no", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"is-run-at-load", "demo_ns"}), "NO\n");
    EXPECT_EQ(helperctl({"quit-service", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"quit-service", "demo-ns"}), "NO\n");
    EXPECT_EQ(sandbox.tool_calls(), (calls_t{{launchctl, "bootstrap", "system", names.svc_file_path()},
                                             {launchctl, "stop", "com.trellwick.demo_ns.service"}}));

    sandbox.set_tool_stdout("sysctl", "debug.darkwake: 0 -> 3\n");
    EXPECT_EQ(helperctl({"set-darkwake", "3"}), "0\n");
    EXPECT_EQ(helperctl({"reboot", "--user", "marisol", "--password-stdin"}, "s3cret\n"), "YES\n");
    EXPECT_EQ(sandbox.read_file("/var/log/tools.log").find("s3cret"), std::string::npos);
    EXPECT_EQ(sandbox.read_file("/var/log/quorvix.trace").find("s3cret"), std::string::npos);
    EXPECT_EQ(helperctl({"set-tray", "--enabled", "no"}), "YES\n");
}

}  // namespace
