// The real helper in a sandbox root, driven by signed clients.
#include "fixtures/helper_process.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "platform/xpc/wire.h"

namespace {

using namespace std::chrono_literals;
using fixtures::run_program;
namespace xpc = platform::xpc;

std::string to_hex(const xpc::bytes_t& bytes) {
    std::string hex;
    char digits[3];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

class HelperProcess : public testing::Test {
protected:
    fixtures::run_result_t helperctl(const std::vector<std::string>& arguments) {
        return run_program(sandbox_, clients_.helperctl(), arguments);
    }
    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }
    // Warning records about refused messages.
    [[nodiscard]] std::size_t refusals() const {
        std::size_t n = 0;
        for (const auto& line : fixtures::lines_of(trace())) {
            n += line.rfind("warning ", 0) == 0 && line.find("message refused") != std::string::npos ? 1 : 0;
        }
        return n;
    }

    fixtures::sandbox_t sandbox_;
    fixtures::signed_clients_t clients_{sandbox_};
};

TEST_F(HelperProcess, AdmitsTheSignedApplicationAndAnswersItsVersion) {
    fixtures::helper_process_t helper(sandbox_);
    const auto result = helperctl({"version"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "2.26\n");
}

TEST_F(HelperProcess, RefusesClientsThatAreNotTheApplicationsSignedCode) {
    fixtures::helper_process_t helper(sandbox_);
    const std::filesystem::path refused[] = {
        clients_.unsigned_helperctl(),
        clients_.sign_helperctl_as("com.trellwick.quorvix-qv-99999999"),
        clients_.sign_helperctl_as("com.example.other"),
    };
    for (const auto& program : refused) {
        const auto result = run_program(sandbox_, program, {"version"});
        EXPECT_EQ(result.exit_status, 3) << program;
        EXPECT_EQ(result.out, "") << program;
    }
    // A rejection writes no record.
    EXPECT_EQ(trace().find("Connection"), std::string::npos) << trace();
}

fixtures::run_result_t as_nobody(const fixtures::sandbox_t& sandbox, std::vector<std::string> command) {
    command.insert(command.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
    return run_program(sandbox, "/usr/bin/setpriv", command);
}

std::size_t records_with(const std::string& trace, std::string_view text) {
    std::size_t n = 0;
    for (const auto& line : fixtures::lines_of(trace)) {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

// A user's client is served only when a clean set-group-id exec put it in the client group: then the kernel
// keeps its starter out of it from its first instruction. Any way in that the starter keeps costs the group,
// and the connection is refused like unsigned code, without a record.
TEST_F(HelperProcess, AdmitsAUsersClientOnlyAfterACleanSetGroupIdExec) {
    const auto starter = fixtures::built_program("qv_hostile_starter").string();
    const auto with_bit = clients_.user_helperctl().string();
    const auto without_bit = sandbox_.path("/Applications/Quorvix.app/Contents/MacOS/copied-without-the-bit");
    std::filesystem::copy_file(clients_.helperctl(), without_bit);
    std::filesystem::permissions(without_bit, std::filesystem::perms(0755));
    fixtures::helper_process_t helper(sandbox_);
    struct case_t {
        const char* what;
        std::vector<std::string> command;
        int exit_status;
    };
    const case_t cases[] = {
        {"the set-group-id copy", {with_bit, "version"}, 0},
        {"a copy without the bit", {without_bit, "version"}, 3},
        {"under no_new_privs", {"--no-new-privs", with_bit, "version"}, 3},
        {"under a seccomp filter that keeps it dumpable", {starter, "seccomp", with_bit, "version"}, 3},
        {"traced from its start", {starter, "traced", with_bit, "version"}, 3},
    };
    for (const auto& c : cases) {
        const auto result = as_nobody(sandbox_, c.command);
        EXPECT_EQ(result.exit_status, c.exit_status) << c.what << ": " << result.out << result.err;
        EXPECT_EQ(result.out, c.exit_status == 0 ? "2.26\n" : "") << c.what;
    }
    EXPECT_EQ(records_with(trace(), "Connection"), 1u) << "only the admission writes a record\n" << trace();

    // Connections made before the exec carry the credentials of their maker, not of the client it became.
    const auto early =
        as_nobody(sandbox_, {starter, "connect-first", "48", helper.socket_path(), with_bit, "version"});
    EXPECT_EQ(early.exit_status, 0) << early.err;
    auto lines = fixtures::lines_of(early.out);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"2.26", "hello on 0 of 48"}))
        << "the client answers, the helper "
           "closes the earlier ones";
    EXPECT_EQ(records_with(trace(), "Connection admitted"), 2u) << trace();
}

// The tracer rule holds for a client's whole life: a tracer attached after admission ends the connection at
// the first request that can change something, with one record, while a query before it is answered.
TEST_F(HelperProcess, AClientTracedAfterAdmissionIsCutOffBeforeAChange) {
    fixtures::helper_process_t helper(sandbox_);
    const xpc::value_t nil = std::optional<std::string>();
    const std::vector<xpc::value_t> a_namespace = {std::optional<std::string>("qv")};
    const std::vector<xpc::value_t> tray = {nil, true, nil};
    const auto query =
        to_hex(xpc::encode_request(1, "is_service_installed_with_namespace:with_reply:", a_namespace));
    const auto change =
        to_hex(xpc::encode_request(2, "set_tray_enabled:with_enabled:with_bundle_path:with_reply:", tray));
    const auto traced =
        run_program(sandbox_, clients_.raw_client(), {helper.socket_path(), "trace-send", query, change});
    EXPECT_EQ(traced.exit_status, 3) << traced.out << traced.err;
    EXPECT_EQ(traced.out.rfind("reply ", 0), 0u) << "the query is answered: " << traced.out;
    EXPECT_EQ(records_with(trace(), "cut off"), 1u) << trace();
}

// The verifier runs as an account of its own: a user who stops every code verifier it sees does not hold
// up root's admissions, since none of them is the user's to signal.
TEST_F(HelperProcess, AUserStoppingEveryVerifierItSeesDoesNotDelayRootsAdmission) {
    fixtures::helper_process_t helper(sandbox_);
    const pid_t stopper = fork();
    ASSERT_GE(stopper, 0);
    if (stopper == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            _exit(1);
        }
        // The kernel keeps the first 15 bytes of a process's name.
        const std::string verifier = "quorvix-code-verifier\n";
        const std::string name = verifier.substr(0, 15) + "\n";
        while (true) {
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                const std::string pid = entry.path().filename();
                if (std::isdigit(static_cast<unsigned char>(pid[0])) != 0 &&
                    fixtures::read_text_file(entry.path() / "comm") == name) {
                    kill(std::stoi(pid), SIGSTOP);
                }
            }
        }
    }
    std::vector<fixtures::run_result_t> results;
    for (int i = 0; i < 3; ++i) {
        results.push_back(helperctl({"version"}));
    }
    kill(stopper, SIGKILL);
    waitpid(stopper, nullptr, 0);
    for (const auto& result : results) {
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out, "2.26\n");
    }
}

TEST(HelperProcessAdmission, RefusesALeafWithoutTheDeveloperExtension) {
    fixtures::sandbox_t sandbox;
    fixtures::signed_clients_t clients(sandbox, {.leaf_extension = false});
    fixtures::helper_process_t helper(sandbox);
    EXPECT_EQ(run_program(sandbox, clients.helperctl(), {"version"}).exit_status, 3);
}

// As the packaged units start it: socket activation listens and, at the first connection, starts the helper
// with the listening socket. The helper serves on a SOCK_SEQPACKET one without binding a socket of its own,
// and refuses a socket of another type.
TEST_F(HelperProcess, ServesOnTheListeningSocketThatActivationHandsOver) {
    for (const bool seqpacket : {true, false}) {
        SCOPED_TRACE(seqpacket ? "SOCK_SEQPACKET" : "SOCK_STREAM");
        const std::string path =
            sandbox_.path(seqpacket ? "/var/run/activated" : "/var/run/activated-stream");
        std::vector<std::string> launcher = {"/usr/bin/systemd-socket-activate", "--listen=" + path,
                                             "--setenv=QUORVIX_SYSTEM_ROOT=" + sandbox_.root()};
        if (seqpacket) {
            launcher.insert(launcher.begin() + 1, "--seqpacket");
        }
        fixtures::helper_process_t helper(sandbox_, launcher);
        for (int attempt = 0; attempt < 500 && !std::filesystem::exists(path); ++attempt) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(std::filesystem::exists(path));
        if (seqpacket) {
            const auto version = helperctl({"--socket", path, "version"});
            EXPECT_EQ(version.out, "2.26\n") << version.err;
            EXPECT_TRUE(helper.running());
            EXPECT_FALSE(std::filesystem::exists(helper.socket_path()));
            continue;
        }
        const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(helper.wait_for_exit(30s), 1);
        close(client);
        EXPECT_NE(trace().find("SOCK_SEQPACKET"), std::string::npos) << trace();
    }
}

// The client does not wait for the reply that never comes, yet stays until the helper has taken the request:
// a sender gone before the helper reads its request would get it refused.
TEST_F(HelperProcess, RestartIsNeverAnswered) {
    fixtures::helper_process_t helper(sandbox_);
    for (int i = 0; i < 5; ++i) {
        const auto result =
            helperctl({"--timeout", "20", "restart", "--bundle", "/Applications/Quorvix.app"});
        EXPECT_EQ(result.exit_status, 3) << result.err;
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(refusals(), 0u) << trace();
}

// "--" ends the options, before the command and within it: an operand may then begin with "-".
TEST_F(HelperProcess, DoubleDashEndsTheOptions) {
    sandbox_.write_file("/Library/LaunchDaemons/com.trellwick.--odd.service.plist", "<plist><dict/></plist>");
    fixtures::helper_process_t helper(sandbox_);
    const auto installed = helperctl({"--timeout", "20", "--", "is-installed", "--", "--odd"});
    EXPECT_EQ(installed.exit_status, 0) << installed.err;
    EXPECT_EQ(installed.out, "YES\n");
    EXPECT_EQ(helperctl({"is-installed", "--", "--other"}).out, "NO\n");
    EXPECT_EQ(helperctl({"is-installed", "--odd"}).exit_status, 2) << "an option, unless after --";
}

TEST_F(HelperProcess, MalformedMessagesEndOnlyTheirOwnConnection) {
    const std::vector<xpc::value_t> one_text = {std::optional<std::string>("abc")};
    auto request = [](std::string_view selector, std::vector<xpc::value_t> arguments) {
        return to_hex(xpc::encode_request(7, selector, arguments));
    };
    std::string wrong_magic = request("get_version_with_reply:", {});
    wrong_magic[1] = '5';  // "QVX1" -> "UVX1"
    std::string wrong_kind = request("get_version_with_reply:", {});
    wrong_kind[9] = '9';
    struct case_t {
        const char* name;
        std::string mode;
        std::string hex;
    };
    const case_t cases[] = {
        {"oversize datagram", "oversize", ""},
        {"wrong magic", "send", wrong_magic},
        {"wrong kind", "send", wrong_kind},
        {"unknown selector", "send", request("get_secrets_with_reply:", {})},
        {"wrong argument count", "send", request("quit_service:with_reply:", {})},
        {"wrong argument type", "send", request("quit_service:with_reply:", {std::int32_t{3}})},
        {"nil for a bool", "send",
         request("setAutostartEnabled:forNamespace:reply:", {std::optional<std::string>{}, one_text[0]})},
        {"trailing bytes", "send", request("get_version_with_reply:", {}) + "00"},
        {"invalid UTF-8", "send", request("quit_service:with_reply:", {std::optional<std::string>("a\xff")})},
        {"NUL in a string", "send",
         request("quit_service:with_reply:", {std::optional<std::string>(std::string("a\0b", 3))})},
        {"request instead of the hello echo", "before-echo", request("get_version_with_reply:", {})},
        {"request from a forked child", "fork-send", request("get_version_with_reply:", {})},
    };
    fixtures::helper_process_t helper(sandbox_);
    std::size_t expected_refusals = 0;
    for (const auto& c : cases) {
        const auto raw = run_program(sandbox_, clients_.raw_client(), {helper.socket_path(), c.mode, c.hex});
        EXPECT_EQ(raw.exit_status, 3) << c.name << ": " << raw.out;
        EXPECT_EQ(refusals(), ++expected_refusals) << c.name << "\n" << trace();
        const auto version = helperctl({"version"});
        EXPECT_EQ(version.out, "2.26\n") << "after " << c.name;
    }
}

// As systemd stops a service, and Ctrl-C a helper run by hand: the run loop ends as at an idle exit, so the
// socket file the helper made is gone and the end record is written.
TEST_F(HelperProcess, StopsOnSigtermAndSigintAsAtAnIdleExit) {
    for (const int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        fixtures::helper_process_t helper(sandbox_);
        ASSERT_EQ(helperctl({"version"}).out, "2.26\n");
        ASSERT_EQ(kill(helper.pid(), signal_number), 0);
        EXPECT_EQ(helper.wait_for_exit(5s), 0);
        EXPECT_FALSE(std::filesystem::exists(helper.socket_path()));
        const auto lines = fixtures::lines_of(trace());
        ASSERT_GE(lines.size(), 2u);
        EXPECT_NE(lines[lines.size() - 2].find("Stopping on signal " + std::to_string(signal_number)),
                  std::string::npos)
            << lines[lines.size() - 2];
        EXPECT_NE(lines.back().find("Helper ended"), std::string::npos) << lines.back();
    }
}

// One run of about eleven seconds: the countdown starts when the last of two clients leaves, a refused
// client does not restart it, and the helper then ends itself with status 0.
TEST_F(HelperProcess, EndsItselfTenSecondsAfterTheLastAdmissionOnceEveryClientHasGone) {
    fixtures::helper_process_t helper(sandbox_);
    const auto admitted = std::chrono::steady_clock::now();
    // Two clients stay connected for 1 and 3 seconds, waiting on requests that are never answered.
    auto first = std::async(std::launch::async, [&] {
        return helperctl({"--timeout", "1", "call", "restart_quorvix_with_bundle_path:and_reply:", "@x"});
    });
    auto second = std::async(std::launch::async, [&] {
        return helperctl({"--timeout", "3", "call", "restart_quorvix_with_bundle_path:and_reply:", "@x"});
    });
    EXPECT_EQ(first.get().exit_status, 4);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(trace().find("idle countdown"), std::string::npos) << "one client is still connected";
    EXPECT_EQ(second.get().exit_status, 4);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(run_program(sandbox_, clients_.unsigned_helperctl(), {"version"}).exit_status, 3);

    const auto status = helper.wait_for_exit(15s);
    const auto lifetime = std::chrono::steady_clock::now() - admitted;
    ASSERT_TRUE(status) << "the helper did not end itself";
    EXPECT_EQ(*status, 0);
    EXPECT_GE(lifetime, 10s);
    EXPECT_LE(lifetime, 12s);

    const auto lines = fixtures::lines_of(trace());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines.front().find("quorvix"), std::string::npos) << lines.front();
    EXPECT_NE(lines.front().find("2.26"), std::string::npos) << lines.front();
    EXPECT_NE(lines.back().find("Helper ended"), std::string::npos) << lines.back();
    std::size_t countdowns = 0;
    for (const auto& line : lines) {
        countdowns += line.find("idle countdown") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(countdowns, 1u);
}

}  // namespace
