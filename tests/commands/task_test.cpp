#include "commands/task.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "fixtures/sandbox.h"

namespace {

using commands::task_t;

task_t shell(const std::string& script) {
    return task_t("/bin/sh", {"-c", script});
}

// Descriptors open in this process; a leak shows up as a growing count.
std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

struct status_case_t {
    const char* script;
    std::optional<std::string> plain;
    std::optional<std::string> timed;
    std::int32_t status;
};

TEST(Task, EachOperationJudgesTheStatusInItsOwnWay) {
    const status_case_t cases[] = {
        {"exit 0", "", "", 0},
        {"printf 'a b\\nc'", "a b\nc", "a b\nc", 0},
        {"printf 'gr\\303\\274n'", "gr\xc3\xbcn", "gr\xc3\xbcn", 0},
        {"echo partial; exit 1", std::nullopt, "", 1},
        {"exit 3", std::nullopt, "", 3},
        {"kill -TERM $$", std::nullopt, "", 15},
        {"printf '\\377\\376'", std::nullopt, std::nullopt, 0},
        {"printf 'ab\\300\\257'", std::nullopt, std::nullopt, 0},
        {"printf '\\355\\240\\200'", std::nullopt, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(shell(c.script).syncStdOutExecute(), c.plain) << c.script;
        EXPECT_EQ(shell(c.script).syncStdOutExecuteWithTimeout(5.0), c.timed) << c.script;
        EXPECT_EQ(task_t::syncExec("/bin/sh", {"-c", std::string("exec >/dev/null; ") + c.script}), c.status)
            << c.script;
    }
}

TEST(Task, ArgumentsReachTheToolUnchangedWithoutAShell) {
    const std::string tricky = "a b;$(touch /nonexistent)'\"*\n";
    auto output = task_t("/usr/bin/printf", {"%s|%s", tricky, ""}).syncStdOutExecute();
    EXPECT_EQ(output, tricky + "|");
}

TEST(Task, TimeOutEndsTheToolAndDiscardsItsOutput) {
    auto output = shell("echo early; exec sleep 5").syncStdOutExecuteWithTimeout(0.3);
    EXPECT_EQ(output, "");
}

TEST(Task, TimeOutKeepsSendingTerminateUntilTheToolGivesIn) {
    // The first SIGTERMs are caught; the tool ends on its own after the third, with its output kept,
    // which it could not do if the wait gave up or escalated to SIGKILL.
    const std::string script =
        "n=0; trap 'n=$((n+1)); [ $n -ge 3 ] && { trap \"\" TERM; echo gave in; exit 0; }' TERM; while :; do "
        "sleep 0.01; "
        "done";
    EXPECT_EQ(shell(script).syncStdOutExecuteWithTimeout(0.2), "gave in\n");
}

TEST(Task, TimedRunDoesNotWaitForProcessesTheToolLeftBehind) {
    fixtures::sandbox_t sandbox;
    const std::string pid_file = sandbox.path("/var/fake/left.pid");
    // The background sleeper keeps the output pipe open long after the tool itself has exited.
    const std::string script = "echo out; sleep 1000 & echo $! > '" + pid_file + "'";
    EXPECT_EQ(shell(script).syncStdOutExecuteWithTimeout(60.0), "out\n");
    ::kill(std::stoi(fixtures::read_text_file(pid_file)), SIGKILL);
}

TEST(Task, TimeOutAtOrBelowAPollIsRefusedBeforeLaunching) {
    fixtures::sandbox_t sandbox;
    const std::string marker = sandbox.path("/var/fake/launched");
    for (double refused : {0.1, 0.05, 0.0, -1.0, std::nan("")}) {
        try {
            (void)shell("touch '" + marker + "'").syncStdOutExecuteWithTimeout(refused);
            ADD_FAILURE() << refused << " was accepted";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "lower won't run") << refused;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(shell("echo ok").syncStdOutExecuteWithTimeout(0.11), "ok\n");
}

TEST(Task, LargeOutputComesBackWholeFromBothCapturingForms) {
    constexpr std::size_t kSize = 10 * 1024 * 1024;
    const std::string script = "head -c " + std::to_string(kSize) + " /dev/zero | tr '\\0' 'x'";
    const auto plain = shell(script).syncStdOutExecute();
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->size(), kSize);
    EXPECT_EQ(plain->find_first_not_of('x'), std::string::npos);
    const auto timed = shell(script).syncStdOutExecuteWithTimeout(30.0);
    ASSERT_TRUE(timed.has_value());
    EXPECT_EQ(timed->size(), kSize);
}

TEST(Task, ToolThatCannotStartRaisesLaunchErrorAndLeaksNothing) {
    fixtures::sandbox_t sandbox;
    sandbox.write_file("/bin/not-executable", "#!/bin/sh\nexit 0\n");
    const std::string missing = sandbox.path("/bin/missing");
    const std::string not_executable = sandbox.path("/bin/not-executable");
    const std::size_t descriptors_before = open_descriptor_count();
    for (const auto& path : {missing, not_executable}) {
        EXPECT_THROW((void)task_t::syncExec(path, {}), commands::launch_error) << path;
        EXPECT_THROW((void)task_t::syncExecWithInput(path, {}, "x"), commands::launch_error) << path;
        EXPECT_THROW((void)task_t(path, {}).syncStdOutExecute(), commands::launch_error) << path;
        EXPECT_THROW((void)task_t(path, {}).syncStdOutExecuteWithTimeout(1.0), commands::launch_error)
            << path;
    }
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
}

TEST(Task, FeedsStandardInputAndSurvivesAToolThatIgnoresIt) {
    fixtures::sandbox_t sandbox;
    const std::string saved = sandbox.path("/var/fake/input");
    const std::string input = "secret\nline two";
    EXPECT_EQ(task_t::syncExecWithInput("/bin/sh", {"-c", "cat > \"$0\"", saved}, input), 0);
    EXPECT_EQ(fixtures::read_text_file(saved), input);

    // A tool that exits without reading a large input makes the write fail with EPIPE, not kill us.
    const std::string big(4 * 1024 * 1024, 'p');
    EXPECT_EQ(task_t::syncExecWithInput("/bin/sh", {"-c", "exit 7"}, big), 7);
    EXPECT_EQ(task_t::syncExecWithInput("/bin/sh", {"-c", "head -c 1 >/dev/null"}, big), 0);
}

}  // namespace
