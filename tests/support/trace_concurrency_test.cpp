#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/trace.h"
#include "support/trace_log.h"
#include "trace_fixture.h"

namespace {

using support_tests::trace_file_test_t;
using support_tests::write_record;

class TraceConcurrency : public trace_file_test_t {};

constexpr int kThreadsPerProcess = 4;
constexpr int kRecordsPerThread = 150;
// Long enough that a torn or overwritten record cannot pass as whole.
const std::string kPayload(400, 'x');

void write_from_threads(int process) {
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreadsPerProcess; ++thread) {
        threads.emplace_back([process, thread] {
            for (int n = 0; n < kRecordsPerThread; ++n) {
                write_record(6, "writer", "p%d t%d n%d %s end", process, thread, n, kPayload.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST_F(TraceConcurrency, ThreadsOfTwoProcessesWriteOnlyWholeLines) {
    // Both processes wait at a closed pipe's read end, so that they write at the same time.
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int process = 0; process < 2; ++process) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(start[1]);
            char ignored = 0;
            static_cast<void>(read(start[0], &ignored, 1));
            // Each process opens the file itself, as separate helper processes do.
            support::trace_log_init();
            support::set_trace_path(path().c_str());
            write_from_threads(process);
            _exit(0);
        }
        children.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::regex record(R"(^ +info .* writer - p(\d) t(\d) n(\d+) x{400} end$)");
    std::map<std::pair<int, int>, int> next_number;
    const auto lines = this->lines();
    EXPECT_EQ(lines.size(), 2U * kThreadsPerProcess * kRecordsPerThread);
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, record)) << "torn or mixed line: " << line;
        int& expected = next_number[{std::stoi(m[1]), std::stoi(m[2])}];
        EXPECT_EQ(std::stoi(m[3]), expected) << "records of one thread out of order or lost";
        expected = std::stoi(m[3]) + 1;
    }
}

TEST_F(TraceConcurrency, RecordWaitsForFileLockOfAnotherWriter) {
    // The other writer lets go well within the wait.
    support::trace_log().file_lock_wait = std::chrono::minutes(1);
    const int other = open(path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);

    std::thread writer([] { write_record(6, "waiter", "written after the other writer"); });
    // Time for a record that does not wait to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string while_locked = content();
    flock(other, LOCK_UN);
    writer.join();
    close(other);

    EXPECT_EQ(while_locked, "") << "the record did not wait for the file lock";
    ASSERT_EQ(lines().size(), 1U);
    EXPECT_NE(lines()[0].find(" - written after the other writer"), std::string::npos);
}

std::atomic<int> provider_calls{0};

// Builds its name in the scratch area and writes a record of its own while naming.
const char* scratch_name() {
    ++provider_calls;
    support::trace_t inner([] { return "inner"; });
    support::trace_info(inner, "naming the outer handle");
    std::snprintf(support::thread_scratch_area(), support::kTraceScratchSize, "%s", "built-in-scratch");
    return support::thread_scratch_area();
}

TEST_F(TraceConcurrency, SharedHandleIsNamedOnceWithoutLosingScratchArea) {
    provider_calls = 0;
    support::trace_t handle(scratch_name);
    // The first record's format lives in the scratch area the provider overwrites.
    std::snprintf(support::thread_scratch_area(), support::kTraceScratchSize, "%s", "format in scratch %d");
    support::trace_info(handle, support::thread_scratch_area(), 7);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&handle] {
            for (int n = 0; n < 20; ++n) {
                support::trace_info(handle, "record %d", n);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(provider_calls.load(), 1);
    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), 82U);
    EXPECT_NE(lines[0].find(" inner - naming the outer handle"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" built-in-scratch - format in scratch 7"), std::string::npos) << lines[1];
}

}  // namespace
