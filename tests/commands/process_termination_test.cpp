#include "commands/process_termination.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "commands/external_commands.h"
#include "commands/process_sleepers.h"
#include "commands/task.h"
#include "fixtures/sandbox.h"
#include "support/string.h"
#include "support/trace_log.h"

namespace commands {
namespace {

using process_testing::make_app_bundle;
using process_testing::sleeper_t;
using process_testing::spawn_sleeper;

// Records each pause instead of sleeping.
class recording_clock_t : public platform::wall_clock_t {
public:
    double now() const override { return 0; }
    void sleep_for(double seconds) const override { pauses.push_back(seconds); }

    mutable std::vector<double> pauses;
};

class ProcessTermination : public ::testing::Test {
protected:
    ProcessTermination() {
        sandbox.link_real_tool("/bin/ps", "/bin/ps");
        // Unique per sandbox, so that no process of a concurrent test is ever a match.
        identifier = "com.trellwick.test." + std::filesystem::path(sandbox.root()).filename().string();
        exe = make_app_bundle(sandbox, "/Applications/Quorvix.app", identifier);
        support::trace_log_init();
        support::set_trace_path(support::string_t(trace_path()));
    }
    ~ProcessTermination() override { support::trace_log_init(); }

    sleeper_t start(const std::string& path, const std::vector<std::string>& arguments,
                    std::vector<std::string> environment = {}) {
        environment.push_back("QV_SLEEPER_LOG=" + log_path());
        return spawn_sleeper(path, arguments, environment);
    }

    // Only this sandbox's processes: others may be running Quorvix copies at the same time.
    std::vector<process_record_t> our_processes() const {
        std::vector<process_record_t> ours;
        for (auto& record : discover_application_processes().records) {
            if (record.exe.starts_with(sandbox.root() + "/")) {
                ours.push_back(record);
            }
        }
        return ours;
    }

    std::string trace_path() const { return sandbox.path("/var/log/quorvix.trace"); }
    // Trace lines of the level ("info", "warning", "error") that mention the text.
    std::size_t traced(std::string_view level, std::string_view text) const {
        std::size_t count = 0;
        for (const auto& line : fixtures::lines_of(fixtures::read_text_file(trace_path()))) {
            const std::string_view view(line);
            if (view.substr(0, 8).find(level) != std::string_view::npos &&
                view.find(text) != std::string_view::npos) {
                ++count;
            }
        }
        return count;
    }

    std::string log_path() const { return sandbox.path("/var/log/sleepers.log"); }
    // The roles of the processes that took a signal, as each logged it: in no fixed order.
    std::vector<std::string> signalled_roles() const {
        return fixtures::lines_of(fixtures::read_text_file(log_path()));
    }
    // The roles in the order the signals went out, from the records.
    std::vector<std::string> ended_roles() const {
        std::vector<std::string> order;
        constexpr std::string_view kRecord = "ending process ";
        for (const auto& line : fixtures::lines_of(fixtures::read_text_file(trace_path()))) {
            const auto at = line.find(kRecord);
            if (at != std::string::npos) {
                const auto flag = at + kRecord.size();
                order.push_back(line.substr(flag, line.find(' ', flag) - flag));
            }
        }
        return order;
    }

    fixtures::sandbox_t sandbox;
    std::string identifier;
    std::string exe;
    support::trace_t trace{[] { return "process-test"; }};
    process_records_t records{trace};
};

// One pause for all: anyone can start processes under the application's name.
TEST_F(ProcessTermination, EndsRolesInOrderThenPausesOnce) {
    std::vector<sleeper_t> sleepers;
    for (const char* flag : {"--service", "", "--x", "--frontend"}) {
        sleepers.push_back(
            start(exe, flag[0] == '\0' ? std::vector<std::string>{} : std::vector<std::string>{flag}));
    }
    const auto processes = our_processes();
    ASSERT_EQ(processes.size(), 4u);

    recording_clock_t clock;
    EXPECT_TRUE(end_processes(processes, std::nullopt, {}, false, clock, records));

    EXPECT_EQ(ended_roles(), (std::vector<std::string>{"--x", "", "--frontend", "--service"}));
    EXPECT_EQ(clock.pauses, std::vector<double>{kTerminationPause});
    for (auto& sleeper : sleepers) {
        EXPECT_EQ(sleeper.terminating_signal(), SIGTERM) << sleeper.pid();
    }
}

// Many processes under the application's name: a bounded number of records, then their count.
TEST_F(ProcessTermination, RecordsAboutManyProcessesAreBounded) {
    constexpr std::size_t kProcesses = 15;
    std::vector<sleeper_t> sleepers;
    for (std::size_t i = 0; i < kProcesses; ++i) {
        sleepers.push_back(start(exe, {"--service"}));
    }
    ASSERT_EQ(our_processes().size(), kProcesses);

    EXPECT_TRUE(ExternalCommands::kill_all_processes(identifier, std::nullopt, false));

    EXPECT_EQ(fixtures::lines_of(fixtures::read_text_file(trace_path())).size(), kProcessRecordLimit + 1);
    EXPECT_EQ(traced("info", "further records about application processes left out"), 1u);
    for (auto& sleeper : sleepers) {
        EXPECT_EQ(sleeper.terminating_signal(), SIGTERM) << sleeper.pid();
    }
}

TEST_F(ProcessTermination, SparesExceptionsForeignBundlesAndNonApplicationBundles) {
    const std::string foreign_exe =
        make_app_bundle(sandbox, "/Applications/Other.app", identifier + ".other");
    const std::string unreadable_exe = make_app_bundle(sandbox, "/Applications/Broken.app", identifier);
    sandbox.write_file("/Applications/Broken.app/Contents/Info.plist", "not a property list");
    const std::string plugin_exe = make_app_bundle(sandbox, "/Applications/Plugin.bundle", identifier);

    sleeper_t target = start(exe, {"--frontend"});
    sleeper_t excepted = start(exe, {"--service"});
    sleeper_t foreign = start(foreign_exe, {"--backend"});
    sleeper_t unreadable = start(unreadable_exe, {"--control"});
    sleeper_t plugin = start(plugin_exe, {});
    const auto processes = our_processes();
    ASSERT_EQ(processes.size(), 5u);

    recording_clock_t clock;
    const pid_t except[] = {excepted.pid()};
    EXPECT_TRUE(end_processes(processes, identifier, except, false, clock, records));

    EXPECT_EQ(target.terminating_signal(), SIGTERM);
    EXPECT_EQ(signalled_roles(), std::vector<std::string>{"--frontend"});
    EXPECT_EQ(traced("error", sandbox.path("/Applications/Plugin.bundle")), 1u);
    EXPECT_EQ(traced("info", std::to_string(excepted.pid())), 1u);
    for (sleeper_t* spared : {&excepted, &foreign, &unreadable, &plugin}) {
        EXPECT_TRUE(spared->running()) << spared->pid();
    }
}

// A process names a bundle whose Info.plist is a terminal or a FIFO, or a link to one: it is never opened
// (a terminal opened without O_NOCTTY could become the helper's controlling terminal), and the process
// counts as one of no known bundle.
TEST_F(ProcessTermination, OpensNothingAProcessNamesButARegularFile) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const std::string terminal_path = ::ptsname(terminal);
    const std::string fifo = sandbox.path("/var/fake/fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    const struct {
        const char* what;
        std::function<void(const std::string& info)> make;
        std::string watched;
    } cases[] = {
        {"a link to a terminal",
         [&](const std::string& info) { std::filesystem::create_symlink(terminal_path, info); },
         terminal_path},
        {"a link to a FIFO", [&](const std::string& info) { std::filesystem::create_symlink(fifo, info); },
         fifo},
        {"a FIFO", [](const std::string& info) { ASSERT_EQ(::mkfifo(info.c_str(), 0666), 0); }, ""},
    };
    for (const auto& c : cases) {
        const std::string info = sandbox.path("/Applications/Odd.app/Contents/Info.plist");
        const std::string odd = make_app_bundle(sandbox, "/Applications/Odd.app", identifier);
        std::filesystem::remove(info);
        c.make(info);
        const int events = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(events, (c.watched.empty() ? info : c.watched).c_str(), IN_OPEN), 0);
        sleeper_t process = start(odd, {});

        recording_clock_t clock;
        EXPECT_TRUE(end_processes(our_processes(), identifier, {}, false, clock, records)) << c.what;

        alignas(inotify_event) char buffer[4096];
        EXPECT_LT(::read(events, buffer, sizeof buffer), 0) << c.what << ": it was opened";
        EXPECT_TRUE(process.running()) << c.what;
        ::close(events);
        std::filesystem::remove_all(sandbox.path("/Applications/Odd.app"));
    }
    ::close(terminal);
}

TEST_F(ProcessTermination, KillSignalReachesProcessesThatIgnoreTermWithoutPause) {
    sleeper_t stubborn = start(exe, {"--service"}, {"QV_SLEEPER_IGNORE_TERM=1"});
    sleeper_t plain = start(exe, {});

    // A process that survives SIGTERM still counts as signalled.
    recording_clock_t clock;
    EXPECT_TRUE(end_processes(our_processes(), identifier, {}, false, clock, records));
    EXPECT_EQ(plain.terminating_signal(), SIGTERM);
    EXPECT_TRUE(stubborn.running());

    recording_clock_t kill_clock;
    EXPECT_TRUE(end_processes(our_processes(), identifier, {}, true, kill_clock, records));
    EXPECT_EQ(stubborn.terminating_signal(), SIGKILL);
    EXPECT_TRUE(kill_clock.pauses.empty());
}

TEST_F(ProcessTermination, ListedProcessGoneOrItsPidReusedFailsWithoutStoppingTheRest) {
    sleeper_t gone = start(exe, {});
    sleeper_t reused = start(exe, {"--frontend"});
    sleeper_t last = start(exe, {"--service"});
    const auto processes = our_processes();
    ASSERT_EQ(processes.size(), 3u);

    ::kill(gone.pid(), SIGKILL);
    gone.wait();
    // The listed pid now holds the same program with the same command line: only its start time tells.
    const pid_t pid = reused.pid();
    ::kill(pid, SIGKILL);
    reused.wait();
    std::optional<sleeper_t> successor =
        process_testing::spawn_sleeper_at(pid, exe, {"--frontend"}, {"QV_SLEEPER_LOG=" + log_path()});
    if (!successor) {
        GTEST_SKIP() << "cannot start a process under a chosen pid here: " << std::strerror(errno);
    }

    recording_clock_t clock;
    EXPECT_FALSE(end_processes(processes, identifier, {}, false, clock, records));

    EXPECT_TRUE(successor->running());
    EXPECT_EQ(traced("error", std::to_string(gone.pid())), 1u);
    EXPECT_EQ(traced("error", std::to_string(pid)), 1u);
    EXPECT_EQ(last.terminating_signal(), SIGTERM);
    EXPECT_EQ(signalled_roles(), std::vector<std::string>{"--service"});
    EXPECT_EQ(clock.pauses.size(), 1u);
}

// The listing cuts a command line at 128 KiB and shows a character it cannot print (U+0085, U+2028, an emoji
// newer than the C library's tables) as one "?"; the processes are still the listed ones. Their bundle path,
// as listed, leads nowhere, so no bundle identifier is asked for.
TEST_F(ProcessTermination, EndsProcessesThatTheListingShowsOtherwise) {
    const std::string odd_exe =
        make_app_bundle(sandbox, "/Applications/A\u0085B\u2028C\U0001FAE8/Quorvix.app", identifier);
    sleeper_t odd = start(odd_exe, {"--frontend"});
    sleeper_t long_line = start(exe, {std::string(70'000, 'x'), std::string(70'000, 'y'), "--backend"});
    // The listing as a UTF-8 locale shows it; the C locale shows each byte of such a character as "?".
    const char* locale = std::getenv("LC_ALL");
    const std::optional<std::string> saved_locale =
        locale ? std::optional<std::string>(locale) : std::nullopt;
    ::setenv("LC_ALL", "C.UTF-8", 1);
    const auto processes = our_processes();
    if (saved_locale) {
        ::setenv("LC_ALL", saved_locale->c_str(), 1);
    } else {
        ::unsetenv("LC_ALL");
    }
    ASSERT_EQ(processes.size(), 2u);
    for (const auto& record : processes) {
        ASSERT_EQ(record.exe.find('?') == std::string::npos, record.process_id == long_line.pid())
            << record.exe;
    }

    recording_clock_t clock;
    ASSERT_TRUE(end_processes(processes, std::nullopt, {}, false, clock, records));

    EXPECT_EQ(odd.terminating_signal(), SIGTERM);
    EXPECT_EQ(long_line.terminating_signal(), SIGTERM);
    // The cut line lost its flag, so it counts as the plain process and goes first.
    EXPECT_EQ(ended_roles(), (std::vector<std::string>{"", "--frontend"}));
}

TEST_F(ProcessTermination, KillAllProcessesEndsTheBundlesProcessesAndFindsNoneAfterwards) {
    sleeper_t frontend = start(exe, {"--frontend"});
    sleeper_t plain = start(exe, {});

    EXPECT_TRUE(ExternalCommands::kill_all_processes(identifier, std::nullopt, false));
    EXPECT_EQ(plain.terminating_signal(), SIGTERM);
    EXPECT_EQ(frontend.terminating_signal(), SIGTERM);
    EXPECT_EQ(ended_roles(), (std::vector<std::string>{"", "--frontend"}));

    EXPECT_TRUE(ExternalCommands::kill_all_processes(identifier, std::vector<pid_t>{}, true));
    EXPECT_TRUE(our_processes().empty());
}

struct listing_case_t {
    const char* name;
    std::string listing;
    std::size_t errors;
    std::size_t warnings;
};

// What the listing says is all there is to go on: the listed lines are never this sandbox's processes.
TEST_F(ProcessTermination, UnusableListingLinesAreTracedAndNothingIsSignalled) {
    sandbox.install_fake_tool("/bin/ps");
    const std::vector<listing_case_t> cases = {
        {"only other processes", "    PID COMMAND\n      1 /sbin/init\n", 0, 0},
        {"process group ids",
         "  0 /A.app/Contents/MacOS/Quorvix\n -1 /A.app/Contents/MacOS/Quorvix --service\n", 2, 0},
        {"no pid and marker only in the flag",
         "/A.app/Contents/MacOS/Quorvix\n  7 /bin/cat --path=/A.app/Contents/MacOS/Quorvix\n", 0, 2},
        {"not UTF-8", "  0 /A\xff.app/Contents/MacOS/Quorvix\n", 0, 0},
        {"empty", "", 0, 0},
    };
    for (const auto& c : cases) {
        sandbox.set_tool_stdout("ps", c.listing);
        // The trace log keeps its file open; start it over on a fresh file.
        std::filesystem::remove(trace_path());
        support::trace_log_init();
        support::set_trace_path(support::string_t(trace_path()));
        EXPECT_TRUE(ExternalCommands::kill_all_processes(std::nullopt, std::nullopt, false)) << c.name;
        EXPECT_EQ(traced("error", "Quorvix"), c.errors) << c.name;
        EXPECT_EQ(traced("warning", "Quorvix"), c.warnings) << c.name;
        EXPECT_EQ(fixtures::lines_of(fixtures::read_text_file(trace_path())).size(), c.errors + c.warnings)
            << c.name;
    }
}

TEST_F(ProcessTermination, MissingProcessListToolIsALaunchError) {
    std::filesystem::remove(sandbox.path("/bin/ps"));
    EXPECT_THROW(static_cast<void>(ExternalCommands::kill_all_processes(std::nullopt, std::nullopt, false)),
                 launch_error);
}

}  // namespace
}  // namespace commands
