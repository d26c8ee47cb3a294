#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/spawn.h"
#include "support/trace_log.h"
#include "trace_fixture.h"

namespace {

using support_tests::split_lines;
using support_tests::trace_file_test_t;
using support_tests::write_record;

class TraceFile : public trace_file_test_t {
protected:
    void prefill(const std::string& text) const {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
    }
};

// Numbered lines, so that any shifted or repeated byte range shows.
std::string numbered_text(std::size_t size) {
    std::string text;
    for (std::size_t n = 0; text.size() < size; ++n) {
        text += "filler line " + std::to_string(n) + "\n";
    }
    text.resize(size - 1);
    return text + "\n";
}

// A program run as nobody through setpriv, its output discarded; ended and waited for when dropped.
class nobody_process_t {
public:
    explicit nobody_process_t(std::vector<std::string> words) {
        words.insert(words.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        platform::spawn_file_actions_t actions;
        posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], actions.get(), nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
    }
    ~nobody_process_t() { end(); }
    nobody_process_t(const nobody_process_t&) = delete;
    nobody_process_t& operator=(const nobody_process_t&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    // The exit code, or -1.
    int wait() {
        const auto status = pid_ > 0 ? platform::wait_for_child(pid_) : std::nullopt;
        pid_ = -1;
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }
    void end() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            static_cast<void>(wait());
        }
    }

private:
    pid_t pid_ = -1;
};

// True once a lock on the file is held through a descriptor other than one of ours.
bool locked_elsewhere(const std::string& path) {
    for (int poll = 0; poll < 1000; ++poll) {
        const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const bool taken = probe >= 0 && flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (probe >= 0) {
            close(probe);
        }
        if (taken) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(TraceFile, OnlyItsOwnerCanOpenItAndALockHeldElsewhereDelaysRecordsOnlyBriefly) {
    // Every record looks at the file, so that a widened one is narrowed at once.
    support::trace_log().file_look_interval = std::chrono::steady_clock::duration::zero();
    ASSERT_EQ(chmod(directory().c_str(), 0755), 0);
    // As an earlier version left it: open to every user, who may keep a descriptor and hold its lock.
    prefill("an earlier record\n");
    ASSERT_EQ(chmod(path().c_str(), 0644), 0);
    nobody_process_t holder({"flock", "--no-fork", "--shared", path(), "sleep", "60"});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(locked_elsewhere(path())) << "nobody did not get the lock";

    auto records = std::async(std::launch::async, [] {
        write_record(6, "held", "written past the held lock");
        write_record(6, "held", "and the next one");
    });
    const bool returned = records.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    holder.end();
    records.wait();
    EXPECT_TRUE(returned) << "a lock held by another user stalled the records";
    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_NE(lines[1].find(" - written past the held lock"), std::string::npos);

    EXPECT_EQ(mode_of(path()), 0600U) << "the trace file was not narrowed to its owner";
    // Widened while open, it is narrowed again at the next look.
    ASSERT_EQ(chmod(path().c_str(), 0666), 0);
    write_record(6, "held", "after widening");
    EXPECT_EQ(mode_of(path()), 0600U) << "the trace file was not kept private";
    nobody_process_t opener({"flock", "--nonblock", "--shared", path(), "true"});
    EXPECT_EQ(opener.wait(), 66) << "nobody could open the trace file";
}

// What the cut keeps of `text` under `limit`: the newest whole lines within limit - limit / 10 bytes.
std::string newest_whole_lines(const std::string& text, std::uint32_t limit) {
    const std::size_t keep = limit - limit / 10;
    return text.substr(text.find('\n', text.size() - keep - 1) + 1);
}

TEST_F(TraceFile, CutsFileToNewestWholeLinesPastDefaultLimit) {
    // The newest 943,719 bytes begin inside the long line, whatever the length of the record.
    const std::string tail = numbered_text(943'519);
    prefill(numbered_text(105'000) + std::string(300, 'p') + "\n" + tail);
    write_record(6, "cut", "the record that crosses the limit");

    const std::string cut = content();
    ASSERT_GT(cut.size(), tail.size());
    const std::string line = cut.substr(tail.size());
    EXPECT_NE(line.find(" - the record that crosses the limit\n"), std::string::npos) << line;
    EXPECT_EQ(cut.substr(0, 14), "filler line 0\n") << "the cut file does not begin with a whole line";
    EXPECT_TRUE(cut.substr(0, tail.size()) == tail) << "the cut file does not hold the newest whole lines";
}

TEST_F(TraceFile, CutsOnlyWhenFileGrowsPastLimit) {
    // Records from one thread with one message all have the same length.
    write_record(6, "limit", "same size");
    const std::string record = content();
    constexpr std::uint32_t kLimit = 10'000;
    constexpr std::size_t kKeep = kLimit - kLimit / 10;

    struct limit_case_t {
        const char* what;
        std::string before;  // the file before the record
        bool cut;
    };
    const limit_case_t cases[] = {
        {"one byte below the limit", numbered_text(kLimit - 1 - record.size()), false},
        {"at the limit", numbered_text(kLimit - record.size()), false},
        {"one byte past the limit", numbered_text(kLimit + 1 - record.size()), true},
        {"far past the limit", numbered_text(kLimit + 5000 - record.size()), true},
        // A line ends just before the newest 9,000 bytes: they are kept whole.
        {"a line ends where the cut falls",
         std::string(2000, 'h') + "\n" + numbered_text(kKeep - record.size()), true},
        // The cut falls into a line longer than one read.
        {"a long line across the cut",
         numbered_text(500) + std::string(6000, 'l') + "\n" + numbered_text(3500), true},
    };
    for (const auto& c : cases) {
        prefill(c.before);
        support::trace_log().size_limit = kLimit;
        write_record(6, "limit", "same size");
        const std::string after = content();
        const std::string last = after.substr(after.size() - std::min(after.size(), record.size()));
        ASSERT_EQ(last.substr(last.find(" - ") + 3), "same size\n") << c.what << ": " << after;
        const std::string whole = c.before + last;
        const std::string expected = c.cut ? newest_whole_lines(whole, kLimit) : whole;
        EXPECT_EQ(after.size(), expected.size()) << c.what;
        EXPECT_TRUE(after == expected) << c.what;
    }
}

TEST_F(TraceFile, ADescriptorNumberTakenOverByAnotherFileIsLeftToItOnceFoundOut) {
    const std::string other = (directory() / "other").string();
    const struct {
        const char* what;
        int flags;  // of the file that takes the number over
        std::chrono::steady_clock::duration look_interval;
        bool first_record_lost;
    } cases[] = {
        {"a writable file, at the next look", O_RDWR, std::chrono::steady_clock::duration::zero(), false},
        {"a read-only file, after the failed write", O_RDONLY, support::kTraceFileLookInterval, true},
    };
    for (const auto& c : cases) {
        support::trace_log_init();
        support::set_trace_path(path().c_str());
        std::filesystem::remove(path());
        support::trace_log().file_look_interval = c.look_interval;
        write_record(6, "number", "opened");
        const int number = support::trace_log().descriptor;
        // As a close of the number elsewhere in the process, and an open that got it, would leave it.
        std::ofstream(other, std::ios::trunc) << "other\n";
        const int taken = open(other.c_str(), c.flags | O_CLOEXEC);
        ASSERT_EQ(dup2(taken, number), number) << c.what;
        close(taken);

        testing::internal::CaptureStderr();
        write_record(6, "number", "first");
        write_record(6, "number", "second");
        testing::internal::GetCapturedStderr();

        EXPECT_EQ(fixtures::read_text_file(other), "other\n") << c.what;
        const auto lines = this->lines();
        ASSERT_EQ(lines.size(), c.first_record_lost ? 2U : 3U) << c.what << "\n" << content();
        EXPECT_NE(lines.back().find(" - second"), std::string::npos) << c.what;
        struct stat held {
        }, of_other{};
        ASSERT_EQ(stat(other.c_str(), &of_other), 0);
        EXPECT_TRUE(fstat(number, &held) == 0 && held.st_ino == of_other.st_ino)
            << c.what << ": the number was closed under its new owner";
        close(number);
    }
}

TEST_F(TraceFile, RemovedFileKeepsReceivingRecordsWithoutBeingRecreated) {
    write_record(6, "unlink", "before removal");
    const int descriptor = support::trace_log().descriptor;
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(unlink(path().c_str()), 0);

    write_record(6, "unlink", "after removal");
    EXPECT_FALSE(std::filesystem::exists(path())) << "the removed trace file was created again";
    EXPECT_EQ(support::trace_log().descriptor, descriptor);
    const auto lines = split_lines(fixtures::read_text_file("/proc/self/fd/" + std::to_string(descriptor)));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_NE(lines[1].find(" - after removal"), std::string::npos);
}

TEST_F(TraceFile, UnopenableFileReportsOnStandardErrorAndRetriesNextRecord) {
    const std::string missing_directory = (directory() / "not-yet").string();
    support::set_trace_path((missing_directory + "/quorvix.trace").c_str());

    testing::internal::CaptureStderr();
    write_record(4, "lost", "record one");
    write_record(4, "lost", "record two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening logfile (2)\nLogging error.Error opening logfile (2)\nLogging error.");

    std::filesystem::create_directory(missing_directory);
    write_record(4, "kept", "record three");
    const auto lines = split_lines(fixtures::read_text_file(missing_directory + "/quorvix.trace"));
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find(" - record three"), std::string::npos);
}

}  // namespace
