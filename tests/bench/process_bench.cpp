// Discovery of the application's processes (listing and parsing, no signals) with 1,000 of them
// running, next to the process-list tool alone on the same machine state.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "commands/process_sleepers.h"
#include "commands/process_termination.h"
#include "commands/task.h"
#include "fixtures/sandbox.h"
#include "platform/system_root.h"

extern char** environ;

namespace {

constexpr int kExtraProcesses = 1000;

struct running_processes_t {
    running_processes_t() {
        sandbox.link_real_tool("/bin/ps", "/bin/ps");
        const std::string exe =
            process_testing::make_app_bundle(sandbox, "/Applications/Quorvix.app", "com.bench");
        const char* const flags[] = {"", "--frontend", "--service", "--control"};
        for (int i = 0; i < kExtraProcesses; ++i) {
            const std::string flag = flags[i % 4];
            sleepers.push_back(process_testing::spawn_sleeper(
                exe, flag.empty() ? std::vector<std::string>{} : std::vector<std::string>{flag}));
        }
    }

    fixtures::sandbox_t sandbox;
    std::vector<process_testing::sleeper_t> sleepers;
};

// Started on first use and ended (SIGKILL, reaped) when the benchmark program exits.
running_processes_t& running_processes() {
    static running_processes_t processes;
    return processes;
}

// "ps -eo pid,args" with its output read to the end, as plainly as it can be run.
std::size_t run_ps_alone(const std::string& ps) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return 0;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string path = ps;
    std::string eo = "-eo";
    std::string format = "pid,args";
    char* argv[] = {path.data(), eo.data(), format.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, ps.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::size_t total = 0;
    char buffer[65536];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        total += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    close(out[0]);
    if (error == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return total;
}

void BM_ProcessListToolAlone(benchmark::State& state) {
    running_processes();
    const std::string ps = platform::system_path("/bin/ps");
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = run_ps_alone(ps);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["output_bytes"] = static_cast<double>(bytes);
}

void BM_DiscoverApplicationProcesses(benchmark::State& state) {
    running_processes();
    std::size_t found = 0;
    for (auto _ : state) {
        const commands::process_list_t list = commands::discover_application_processes();
        found = list.records.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["records"] = static_cast<double>(found);
}

// The parsing share of discovery, on one captured listing.
void BM_ParseProcessList(benchmark::State& state) {
    running_processes();
    commands::task_t ps(platform::system_path("/bin/ps"), {"-eo", "pid,args"});
    const std::string output = ps.run_capturing().output;
    std::size_t found = 0;
    for (auto _ : state) {
        found = commands::parse_process_list(output).records.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["records"] = static_cast<double>(found);
}

BENCHMARK(BM_ProcessListToolAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DiscoverApplicationProcesses)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ParseProcessList)->Unit(benchmark::kMicrosecond);

}  // namespace
