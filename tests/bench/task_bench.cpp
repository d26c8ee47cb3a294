// Cost of running a tool through task_t next to a bare posix_spawn and waitpid of the same tool.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "commands/task.h"

extern char** environ;

namespace {

constexpr char kTrue[] = "/bin/true";

void BM_BareSpawnAndWait(benchmark::State& state) {
    char* const argv[] = {const_cast<char*>(kTrue), nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (posix_spawn(&pid, kTrue, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_BareSpawnAndWait)->Unit(benchmark::kMicrosecond);

void BM_SyncExec(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(commands::task_t::syncExec(kTrue, {}));
    }
}
BENCHMARK(BM_SyncExec)->Unit(benchmark::kMicrosecond);

void BM_SyncStdOutExecute(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(commands::task_t(kTrue, {}).syncStdOutExecute());
    }
}
BENCHMARK(BM_SyncStdOutExecute)->Unit(benchmark::kMicrosecond);

}  // namespace
