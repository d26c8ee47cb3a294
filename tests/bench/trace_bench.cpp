// Records per second through trace_write, next to the floor: the bare system calls a record is specified
// to cost (descriptor check, file lock, two seeks, the write of a line of the same size, unlock) on the
// same kind of file, serialised between threads as the trace log's lock serialises records. The record
// itself leaves out the descriptor check, as its file lock finds an invalid descriptor anyway.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "fixtures/sandbox.h"
#include "support/trace.h"
#include "support/trace_log.h"

namespace {

std::string bench_directory;
std::string sample_line;
int floor_descriptor = -1;
std::mutex floor_lock;

void make_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-trace-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    bench_directory = pattern;
}

void remove_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(bench_directory, ignored);
}

const char* handle_name() {
    return "helper_tool";
}

void write_typical_record(support::trace_t& trace, std::int64_t n) {
    support::trace_info(trace, "request %lld handled for %s", static_cast<long long>(n),
                        "com.trellwick.quorvix");
}

void setup_trace(const benchmark::State&) {
    make_directory();
    support::trace_log_init();
    support::set_trace_path((bench_directory + "/quorvix.trace").c_str());
    support::set_process_name("helper");
}

void teardown_trace(const benchmark::State&) {
    support::trace_log_init();
    remove_directory();
}

void BM_TraceWrite(benchmark::State& state) {
    static support::trace_t trace(handle_name);
    std::int64_t n = 0;
    for (auto _ : state) {
        write_typical_record(trace, ++n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceWrite)->Setup(setup_trace)->Teardown(teardown_trace)->Threads(1)->Threads(4)->UseRealTime();

// The same records with a limit the run never reaches: the record path alone, without the cuts that keep
// the file at 1 MiB (each moves 943,719 bytes after about 100 KiB of records).
void setup_trace_without_cut(const benchmark::State& state) {
    setup_trace(state);
    support::trace_log().size_limit = 0xffffffffU;
}

BENCHMARK(BM_TraceWrite)
    ->Name("BM_TraceWriteWithoutCut")
    ->Setup(setup_trace_without_cut)
    ->Teardown(teardown_trace)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

void setup_floor(const benchmark::State& state) {
    setup_trace(state);
    // One real record gives the floor a line of the same size.
    support::trace_t trace(handle_name);
    write_typical_record(trace, 1);
    sample_line = fixtures::read_text_file(bench_directory + "/quorvix.trace");
    support::trace_log_init();
    floor_descriptor = open((bench_directory + "/floor.trace").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (floor_descriptor < 0) {
        std::abort();
    }
}

void teardown_floor(const benchmark::State& state) {
    close(floor_descriptor);
    floor_descriptor = -1;
    teardown_trace(state);
}

void BM_SystemCallFloor(benchmark::State& state) {
    for (auto _ : state) {
        std::lock_guard guard(floor_lock);
        benchmark::DoNotOptimize(fcntl(floor_descriptor, F_GETFD));
        flock(floor_descriptor, LOCK_EX);
        lseek(floor_descriptor, 0, SEEK_END);
        benchmark::DoNotOptimize(write(floor_descriptor, sample_line.data(), sample_line.size()));
        const off_t position = lseek(floor_descriptor, 0, SEEK_END);
        // Kept about as small as the trace file, which is cut at its limit.
        if (position > static_cast<off_t>(support::kDefaultTraceSizeLimit)) {
            benchmark::DoNotOptimize(ftruncate(floor_descriptor, 0));
        }
        flock(floor_descriptor, LOCK_UN);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SystemCallFloor)
    ->Setup(setup_floor)
    ->Teardown(teardown_floor)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

}  // namespace
