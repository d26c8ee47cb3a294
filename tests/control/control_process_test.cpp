// The real helper in a sandbox root, driven through quorvix-helperctl.
#include <gtest/gtest.h>

#include "fixtures/helper_process.h"
#include "install/namespace_names.h"
#include "platform/property_list.h"

namespace {

using calls_t = std::vector<std::vector<std::string>>;

class ServiceControlProcess : public testing::Test {
protected:
    ServiceControlProcess() { sandbox_.install_all_fake_tools(); }

    // The reply line, or the exit status and standard error when there was none.
    std::string helperctl(const std::vector<std::string>& arguments) {
        const auto result = fixtures::run_program(sandbox_, clients_.helperctl(), arguments);
        if (result.exit_status != 0) {
            return "exit " + std::to_string(result.exit_status) + ": " + result.err;
        }
        return result.out;
    }
    [[nodiscard]] std::optional<bool> job_flag(const std::string& key) const {
        const auto job = platform::property_list_t::read_file(names_.svc_file_path());
        const auto value = job ? job->root().get(key) : std::nullopt;
        return value ? value->as_bool() : std::nullopt;
    }

    fixtures::sandbox_t sandbox_;
    fixtures::signed_clients_t clients_{sandbox_};
    const install::namespace_names_t names_{"demo_ns"};
};

TEST_F(ServiceControlProcess, ServiceInstalledByHandIsStartedQueriedSwitchedAndStopped) {
    sandbox_.write_file("/Library/LaunchDaemons/com.trellwick.demo_ns.service.plist",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                        "<key>Label</key><string>com.trellwick.demo_ns.service</string>"
                        "<key>Disabled</key><true/><key>RunAtLoad</key><true/></dict></plist>\n");
    fixtures::helper_process_t helper(sandbox_);
    const std::string launchctl = sandbox_.path("/bin/launchctl");

    EXPECT_EQ(helperctl({"is-installed", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"is-disabled", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"start-service", "demo_ns"}), "YES\n");
    EXPECT_EQ(helperctl({"is-disabled", "demo_ns"}), "NO\n");
    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl, "bootstrap", "system", names_.svc_file_path()}}));

    EXPECT_EQ(helperctl({"set-autostart", "no", "demo_ns"}), "YES\n");
    EXPECT_EQ(job_flag("RunAtLoad"), false);
    EXPECT_EQ(helperctl({"is-run-at-load", "demo_ns"}), "NO\n");
    EXPECT_EQ(helperctl({"is-autostart-enabled", "demo_ns"}), "NO\n") << "the agent is not installed";

    sandbox_.clear_tool_log();
    EXPECT_EQ(helperctl({"quit-service", "demo_ns"}), "YES\n");
    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl, "stop", "com.trellwick.demo_ns.service"}}));

    // Refused namespaces get NO and run nothing; the helper goes on serving.
    sandbox_.clear_tool_log();
    EXPECT_EQ(helperctl({"quit-service", "demo-ns"}), "NO\n");
    EXPECT_EQ(helperctl({"start-service", ""}), "NO\n");
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_EQ(helperctl({"version"}), "2.26\n");
}

TEST_F(ServiceControlProcess, SystemSettingsAnswerThroughTheClient) {
    fixtures::helper_process_t helper(sandbox_);
    sandbox_.set_tool_stdout("sysctl", "debug.darkwake: 0 -> 3\n");
    EXPECT_EQ(helperctl({"set-darkwake", "3"}), "0\n");
    sandbox_.set_tool_stdout("sysctl", "debug.darkwake: 3\n");
    EXPECT_EQ(helperctl({"set-darkwake", "3"}), "-1\n");

    const auto result = fixtures::run_program(
        sandbox_, clients_.helperctl(), {"reboot", "--user", "marisol", "--password-stdin"}, "s3cret\n");
    EXPECT_EQ(result.out, "YES\n") << result.err;
    const auto calls = sandbox_.tool_calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2][0], sandbox_.path("/usr/bin/fdesetup"));
    EXPECT_EQ(calls[3], (std::vector<std::string>{sandbox_.path("/sbin/shutdown"), "-r", "+6sec"}));
    EXPECT_EQ(sandbox_.read_file("/var/log/tools.log").find("s3cret"), std::string::npos);
    EXPECT_EQ(sandbox_.read_file("/var/log/quorvix.trace").find("s3cret"), std::string::npos);
    EXPECT_EQ(helperctl({"set-tray", "--enabled", "no"}), "YES\n");
}

}  // namespace
