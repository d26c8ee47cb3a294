// quorvix-helperctl's command-line conventions, one table per rule. Commands that pass their checks try to
// connect to a socket that does not exist and end with status 3, so a case that ends with 2 was refused
// before anything was sent.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fixtures/helper_process.h"

namespace {

using fixtures::run_program;

constexpr const char* kTryHelp = "Try 'quorvix-helperctl --help' for the commands.";

class Helperctl : public testing::Test {
protected:
    fixtures::run_result_t helperctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--socket", sandbox_.path("/var/run/nothing")});
        return run_program(sandbox_, fixtures::built_program("quorvix-helperctl"), arguments);
    }
    // Status 2, nothing on standard output, and on standard error one line that contains `reason`,
    // then the pointer to the help.
    void expect_usage_error(const std::vector<std::string>& arguments, const std::string& reason) {
        const auto result = helperctl(arguments);
        const auto lines = fixtures::lines_of(result.err);
        EXPECT_EQ(result.exit_status, 2) << testing::PrintToString(arguments) << result.err;
        EXPECT_EQ(result.out, "") << testing::PrintToString(arguments);
        ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(arguments) << result.err;
        EXPECT_EQ(lines[0].rfind("quorvix-helperctl: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
        EXPECT_EQ(lines[1], kTryHelp);
    }
    // Past every check of the command line: it tried the socket, which is not there.
    void expect_connection_attempt(const std::vector<std::string>& arguments) {
        const auto result = helperctl(arguments);
        EXPECT_EQ(result.exit_status, 3) << testing::PrintToString(arguments) << result.err;
        EXPECT_NE(result.err.find("not connected"), std::string::npos) << result.err;
    }

    fixtures::sandbox_t sandbox_;
};

TEST_F(Helperctl, AUsageErrorIsOneLineThenAPointerToTheHelp) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "missing command"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"--bogus", "version"}, "unknown option --bogus"},
        {{"install", "--namespace", "n"}, "install: missing --bundle"},
        {{"version", "--timeout"}, "version: option --timeout needs a value"},
        {{"set-autostart", "maybe", "n"}, "expected yes or no"},
        {{"--socket", "", "version"}, "--socket needs a path"},
    };
    for (const auto& [arguments, reason] : cases) {
        expect_usage_error(arguments, reason);
    }
}

TEST_F(Helperctl, HelpAndVersionOptionsPrintAndExitZero) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-h"}, "usage: quorvix-helperctl"},
        {{"--help"}, "usage: quorvix-helperctl"},
        {{"--timeout", "5", "--help"}, "usage: quorvix-helperctl"},
        {{"--version"}, "quorvix-helperctl 2.26\n"},
    };
    for (const auto& [arguments, start] : cases) {
        const auto result = helperctl(arguments);
        EXPECT_EQ(result.exit_status, 0) << testing::PrintToString(arguments) << result.err;
        EXPECT_EQ(result.out.rfind(start, 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
    }
    EXPECT_NE(helperctl({"--help"}).out.find("(default: 60)"), std::string::npos)
        << "the time-out is documented";
}

TEST_F(Helperctl, TheTimeOutIsAFiniteNumberOfSecondsAboveZeroAndAtMostAnHour) {
    for (const char* bad : {"inf", "nan", "1e300", "0", "-1", "3600.5", "", "5s"}) {
        expect_usage_error({"--timeout", bad, "version"}, "--timeout needs a number of seconds");
    }
    for (const char* good : {"0.001", "2.5", "3600"}) {
        expect_connection_attempt({"--timeout", good, "version"});
    }
}

TEST_F(Helperctl, EveryCommandTakesExactlyItsOperands) {
    const std::vector<std::vector<std::string>> extra = {
        {"version", "x"},
        {"fix-max-files", "x"},
        {"check-global-settings", "x"},
        {"reboot", "x"},
        {"restart", "--bundle", "b", "x"},
        {"install", "--bundle", "b", "--sysconfig", "s", "--namespace", "n", "x"},
        {"install-service", "--bundle", "b", "--namespace", "n", "--user-config", "u", "x"},
        {"uninstall", "--bundle", "b", "--namespace", "n", "x"},
        {"is-installed", "a", "x"},
        {"set-autostart", "yes", "a", "x"},
        {"set-tray", "a", "x"},
        {"set-darkwake", "1", "x"},
        {"setup-rights", "x"},
        {"delete-rights", "x"},
    };
    for (const auto& arguments : extra) {
        expect_usage_error(arguments, arguments[0] + ": unexpected operand 'x'");
    }
    const std::vector<std::vector<std::string>> short_of_operands = {
        {"is-installed"}, {"set-darkwake"}, {"set-autostart", "yes"}, {"call"}};
    for (const auto& arguments : short_of_operands) {
        expect_usage_error(arguments, arguments[0] + ": missing");
    }
    expect_connection_attempt({"set-tray", "a"});
    expect_connection_attempt({"is-installed", "--", "-a"});
}

TEST_F(Helperctl, CallIsCheckedAgainstTheRequestTableBeforeConnecting) {
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"call", "no_such_selector"}, "unknown selector 'no_such_selector'"},
        {{"call", "get_version_with_reply"}, "unknown selector"},
        {{"call", "quit_service:with_reply:"}, "takes 1 value, got 0"},
        {{"call", "get_version_with_reply:", "@x"}, "takes 0 values, got 1"},
        {{"call", "quit_service:with_reply:", "i:3"}, "value 1 of quit_service:with_reply: must be @TEXT"},
        {{"call", "check_global_settings_auth:reply:", "@x"}, "must be D:HEX"},
        {{"call", "check_global_settings_auth:reply:", "D:0"}, "must be D:HEX"},
        {{"call", "setAutostartEnabled:forNamespace:reply:", "N", "@n"}, "value 1 of"},
        {{"call", "setAutostartEnabled:forNamespace:reply:", "B:2", "@n"}, "must be B:0 or B:1"},
        {{"call", "set_darkwake_mode:reply:", "i:99999999999"}, "must be i:N"},
        {{"call",
          "install_quorvix_with_auth_data:bundle_path:sysconfig_path:qv_namespace:user_name:"
          "remove_flavors:reply:",
          "N", "@b", "@c", "@n", "@u", "c:300"},
         "value 6 of"},
    };
    for (const auto& [arguments, reason] : refused) {
        expect_usage_error(arguments, reason);
    }
    expect_connection_attempt({"call", "get_version_with_reply:"});
    expect_connection_attempt({"call", "set_darkwake_mode:reply:", "i:-5"});
    expect_connection_attempt({"call", "setAutostartEnabled:forNamespace:reply:", "B:1", "N"});
    expect_connection_attempt(
        {"call",
         "install_quorvix_with_auth_data:bundle_path:sysconfig_path:qv_namespace:user_name:"
         "remove_flavors:reply:",
         "D:00ff", "@b", "@c", "@n", "N", "c:-1"});
}

// Waiting for the helper to take the connection, and for a reply after it has: each time-out says which.
TEST_F(Helperctl, ATimeOutSaysWhetherTheConnectionWasMade) {
    // A socket that listens but is never served: the connection is made and never taken.
    const std::string path = sandbox_.path("/var/run/silent");
    const int listening = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listening, 4), 0);
    const auto silent = run_program(sandbox_, fixtures::built_program("quorvix-helperctl"),
                                    {"--socket", path, "--timeout", "0.5", "version"});
    close(listening);
    EXPECT_EQ(silent.exit_status, 4) << silent.err;
    EXPECT_NE(
        silent.err.find("connected to " + path + ", but the helper did not take the connection within 0.5 s"),
        std::string::npos)
        << silent.err;

    fixtures::signed_clients_t clients(sandbox_);
    fixtures::helper_process_t helper(sandbox_);
    const auto unanswered =
        run_program(sandbox_, clients.helperctl(),
                    {"--timeout", "1", "call", "restart_quorvix_with_bundle_path:and_reply:", "@x"});
    EXPECT_EQ(unanswered.exit_status, 4) << unanswered.err;
    EXPECT_NE(unanswered.err.find("connected, but no reply within 1 s"), std::string::npos) << unanswered.err;
}

TEST_F(Helperctl, ANoReplyExitsOneAndEveryOtherReplyZero) {
    sandbox_.install_all_fake_tools();
    sandbox_.write_file("/Library/LaunchDaemons/com.trellwick.there.service.plist", "<plist><dict/></plist>");
    fixtures::signed_clients_t clients(sandbox_);
    fixtures::helper_process_t helper(sandbox_);
    struct case_t {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const case_t cases[] = {
        {{"is-installed", "there"}, "YES\n", 0},
        {{"is-installed", "absent"}, "NO\n", 1},
        {{"call", "is_service_installed_with_namespace:with_reply:", "@absent"}, "NO\n", 1},
        {{"version"}, "2.26\n", 0},
        {{"set-darkwake", "3"}, "-1\n", 0},
    };
    for (const auto& c : cases) {
        const auto result = run_program(sandbox_, clients.helperctl(), c.arguments);
        EXPECT_EQ(result.out, c.out) << testing::PrintToString(c.arguments) << result.err;
        EXPECT_EQ(result.exit_status, c.status) << testing::PrintToString(c.arguments);
    }
}

}  // namespace
