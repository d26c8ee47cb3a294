// The reliability suite: the real helper in a sandbox root serves sixteen signed clients at once, over
// eight namespaces, while some clients send malformed messages or hang up mid-request and the fake tools
// fail at random. Afterwards the helper must still serve, have kept every namespace's files apart, have
// written whole trace lines, be back to its idle descriptors and threads, and end itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "fixtures/helper_process.h"
#include "fixtures/test_pki.h"
#include "soak/soak_checks.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using counts_t = std::map<std::string, long>;

constexpr int kClients = 16;
constexpr int kNamespaces = 8;
// Requests per client besides the malformed ones and the hang-ups: a minute or two of load on two cores in a
// plain build (3,200 requests), half of that under a sanitizer (1,600), which slows the helper down. Every
// install and uninstall starts a score of tool processes, so the count, not the helper, sets the time.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define SOAK_UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(SOAK_UNDER_SANITIZER)
constexpr int kRequestsPerClient = 100;
#else
constexpr int kRequestsPerClient = 200;
#endif
constexpr std::uint64_t kSeed = 20261207;
constexpr const char* kFailingTools[] = {"launchctl", "chmod",    "chown", "xattr",
                                         "hdiutil",   "security", "sysctl"};

// Figures a client reports as "key=value" words after "soak-client".
counts_t parse_summary(const std::string& output) {
    counts_t counts;
    std::istringstream words(output.substr(std::min(output.find("soak-client"), output.size())));
    for (std::string word; words >> word;) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos && word.substr(0, equals) != "namespace") {
            counts[word.substr(0, equals)] = std::stol(word.substr(equals + 1));
        }
    }
    return counts;
}

// Flips the fake tools' status files between success and failure every few milliseconds, each file
// replaced whole so that a tool never reads half a number.
class tool_failures_t {
public:
    explicit tool_failures_t(const fixtures::sandbox_t& sandbox) : sandbox_(sandbox) {
        thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }
    ~tool_failures_t() { stop(); }
    tool_failures_t(const tool_failures_t&) = delete;
    tool_failures_t& operator=(const tool_failures_t&) = delete;

    // Stops flipping and leaves every tool succeeding; returns how many failures were switched on.
    long stop() {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
            for (const char* tool : kFailingTools) {
                set(tool, 0);
            }
        }
        return injected_;
    }

private:
    void set(const std::string& tool, int status) const {
        const std::string target = sandbox_.path("/var/fake/" + tool + ".status");
        std::ofstream(target + ".new", std::ios::trunc) << status << "\n";
        fs::rename(target + ".new", target);
    }
    void run(const std::stop_token& stop) {
        std::mt19937 random(kSeed);
        std::uniform_int_distribution<std::size_t> tool(0, std::size(kFailingTools) - 1);
        std::bernoulli_distribution fails(0.3);
        std::uniform_int_distribution<int> pause_ms(2, 8);
        while (!stop.stop_requested()) {
            const bool failing = fails(random);
            set(kFailingTools[tool(random)], failing ? 1 : 0);
            injected_ += failing ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
        }
    }

    const fixtures::sandbox_t& sandbox_;
    long injected_ = 0;
    std::jthread thread_;
};

// Polls until the counts stop changing (the start-up thread and the first records settle).
std::optional<soak::resource_counts_t> settled_counts(pid_t pid) {
    auto last = soak::resource_counts(pid);
    for (int stable = 0, polls = 0; last && stable < 5 && polls < 50; ++polls) {
        std::this_thread::sleep_for(100ms);
        const auto now = soak::resource_counts(pid);
        stable = now == last ? stable + 1 : 0;
        last = now;
    }
    return last;
}

// Polls until the counts are back at `idle`; the last reading when they are not within the time.
std::optional<soak::resource_counts_t> counts_back_at(pid_t pid, const soak::resource_counts_t& idle,
                                                      std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    auto now = soak::resource_counts(pid);
    while (now && !(*now == idle) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        now = soak::resource_counts(pid);
    }
    return now;
}

std::string joined(const soak::findings_t& findings) {
    std::string text;
    for (std::size_t i = 0; i < findings.size() && i < 20; ++i) {
        text += "\n  " + findings[i];
    }
    return findings.size() > 20 ? text + "\n  ... " + std::to_string(findings.size() - 20) + " more" : text;
}

TEST(Soak, HelperServesSixteenClientsThroughFaultsAndEndsClean) {
    fixtures::sandbox_t sandbox;
    sandbox.install_all_fake_tools();
    soak::confine_process_list(sandbox);
    const auto plans = soak::make_plans(kNamespaces);
    soak::write_sources(sandbox, plans);
    fixtures::test_pki_t pki;
    pki.trust_in_system_root();
    const fs::path client = sandbox.path("/opt/soak/qv_soak_client");
    fs::create_directories(client.parent_path());
    pki.sign_copy(fixtures::built_program("qv_soak_client"), client, fixtures::application_identifier());

    // The helper ends itself 10 s after start when nobody connects: everything above is ready before it
    // starts.
    fixtures::helper_process_t helper(sandbox);
    const auto idle = settled_counts(helper.pid());
    ASSERT_TRUE(idle.has_value()) << "the helper ended before any client connected";

    const auto started = std::chrono::steady_clock::now();
    tool_failures_t failures(sandbox);
    std::vector<std::future<fixtures::run_result_t>> runs;
    for (int c = 0; c < kClients; ++c) {
        const soak::namespace_plan_t& plan = plans[static_cast<std::size_t>(c * kNamespaces / kClients)];
        std::vector<std::string> arguments = {helper.socket_path(),
                                              "run",
                                              std::to_string(kSeed + static_cast<std::uint64_t>(c)),
                                              std::to_string(kRequestsPerClient),
                                              plan.name,
                                              sandbox.path(plan.source),
                                              sandbox.path(plan.sysconfig),
                                              plan.kinds};
        if (c % 4 == 0) {
            arguments.emplace_back("malformed");
        }
        if (c % 8 == 3) {
            arguments.emplace_back("disconnect");
        }
        runs.push_back(std::async(std::launch::async, [&sandbox, &client, arguments] {
            return fixtures::run_program(sandbox, client, arguments);
        }));
    }
    counts_t total;
    for (int c = 0; c < kClients; ++c) {
        const fixtures::run_result_t result = runs[static_cast<std::size_t>(c)].get();
        EXPECT_EQ(result.exit_status, 0) << "client " << c << ": " << result.out << result.err;
        EXPECT_NE(result.out.find("soak-client"), std::string::npos)
            << "client " << c << " printed no summary";
        for (const auto& [key, value] : parse_summary(result.out)) {
            total[key] += value;
        }
    }
    const long injected = failures.stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // Still serving: a fresh client is admitted and answered.
    const auto version = fixtures::run_program(sandbox, client, {helper.socket_path(), "version"});
    EXPECT_EQ(version.out, "2.26\n") << version.err;

    const auto after = counts_back_at(helper.pid(), *idle, 5s);
    const auto exit_status = helper.wait_for_exit(20s);

    const std::string trace = sandbox.read_file("/var/log/quorvix.trace");
    const long requests = total["requests"] + total["malformed"] + total["disconnects"];
    std::printf("soak: requests=%ld answered=%ld", requests, total["answered"]);
    for (const char* kind :
         {"version", "is-installed", "is-disabled", "is-run-at-load", "is-autostart-enabled", "start-service",
          "quit-service", "set-autostart", "fix-config-permissions", "install", "uninstall", "yes", "no"}) {
        std::printf(" %s=%ld", kind, total[kind]);
    }
    std::printf(
        " malformed=%ld disconnects=%ld tool_failures=%ld duration=%.1fs fds=%zu/%zu threads=%zu/%zu "
        "trace_bytes=%zu\n",
        total["malformed"], total["disconnects"], injected, seconds, idle->descriptors,
        after ? after->descriptors : 0, idle->threads, after ? after->threads : 0, trace.size());

    EXPECT_EQ(total["requests"], static_cast<long>(kClients) * kRequestsPerClient)
        << "a client stopped early";
    EXPECT_GT(total["malformed"], 0);
    EXPECT_GT(total["disconnects"], 0);
    EXPECT_GT(total["install"], 0);
    EXPECT_GT(total["uninstall"], 0);
    // Every reply answered its own request, and no healthy connection went without one.
    EXPECT_EQ(total["answered"], total["requests"]);
    EXPECT_EQ(total["mismatched"], 0);
    EXPECT_EQ(total["unanswered"], 0);
    EXPECT_EQ(total["malformed_unclosed"], 0) << "malformed messages that left the connection open";
    EXPECT_EQ(total["malformed_answered"], 0) << "malformed messages that got a reply";
    EXPECT_EQ(total["reconnect_failures"], 0);

    ASSERT_TRUE(after.has_value()) << "the helper ended before its counts could be read again";
    EXPECT_EQ(after->descriptors, idle->descriptors) << "descriptors not back at their idle count";
    EXPECT_EQ(after->threads, idle->threads) << "threads not back at their idle count";
    EXPECT_EQ(exit_status, std::optional<int>(0)) << "the helper did not end itself after the last client";

    const auto lines = soak::trace_findings(trace, helper.pid());
    EXPECT_TRUE(lines.empty()) << joined(lines);
    const auto files = soak::namespace_file_findings(sandbox, plans);
    EXPECT_TRUE(files.empty()) << joined(files);
    const auto tools = soak::tool_log_findings(sandbox, plans);
    EXPECT_TRUE(tools.empty()) << joined(tools);
}

}  // namespace
