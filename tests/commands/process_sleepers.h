#pragma once
// Application bundles in a sandbox whose executable is the qv_sleeper program, and the processes run
// from them. Every process still running when its handle goes is killed and reaped.

#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/sandbox.h"

extern char** environ;

namespace process_testing {

// qv_sleeper is built into the same directory as the test and benchmark programs.
inline std::string sleeper_program() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qv_sleeper").string();
}

// Makes <root><bundle>/Contents/{Info.plist, MacOS/Quorvix} and returns the executable's real path.
inline std::string make_app_bundle(const fixtures::sandbox_t& sandbox, const std::string& bundle,
                                   const std::string& identifier) {
    sandbox.write_file(bundle + "/Contents/Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                           identifier + "</string></dict></plist>\n");
    const std::string exe = sandbox.path(bundle + "/Contents/MacOS/Quorvix");
    std::filesystem::create_directories(std::filesystem::path(exe).parent_path());
    std::filesystem::copy_file(sleeper_program(), exe, std::filesystem::copy_options::overwrite_existing);
    return exe;
}

class sleeper_t {
public:
    explicit sleeper_t(pid_t pid) : pid_(pid) {}
    sleeper_t(sleeper_t&& other) noexcept : pid_(std::exchange(other.pid_, 0)), status_(other.status_) {}
    sleeper_t& operator=(sleeper_t&&) = delete;
    ~sleeper_t() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    [[nodiscard]] pid_t pid() const { return pid_; }

    // Blocks until the process has ended; its wait status.
    int wait() {
        if (!status_) {
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
        }
        return *status_;
    }

    // The signal that ended the process, 0 if it exited.
    int terminating_signal() {
        const int status = wait();
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    [[nodiscard]] bool running() {
        if (status_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = 0;
    std::optional<int> status_;
};

// The argument and environment vectors of one start: `exe` with `arguments`, and the extra environment
// entries ("NAME=value") before this process's own.
class launch_vectors_t {
public:
    launch_vectors_t(const std::string& exe, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment)
        : argv_text_{exe}, env_text_(environment) {
        argv_text_.insert(argv_text_.end(), arguments.begin(), arguments.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            env_text_.emplace_back(*entry);
        }
        for (auto& text : argv_text_) {
            argv_.push_back(text.data());
        }
        argv_.push_back(nullptr);
        for (auto& text : env_text_) {
            envp_.push_back(text.data());
        }
        envp_.push_back(nullptr);
    }
    launch_vectors_t(const launch_vectors_t&) = delete;
    launch_vectors_t& operator=(const launch_vectors_t&) = delete;

    [[nodiscard]] char** argv() { return argv_.data(); }
    [[nodiscard]] char** envp() { return envp_.data(); }

private:
    std::vector<std::string> argv_text_;
    std::vector<std::string> env_text_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

// The program closes its standard output (the pipe's write end) once it has set up its signal handlers.
inline void wait_until_ready(int ready_read_end) {
    char buffer[16];
    for (;;) {
        const ssize_t got = ::read(ready_read_end, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
    }
    ::close(ready_read_end);
}

// Starts `exe` with `arguments` and the extra environment entries; returns once the program has set up
// its signal handlers.
inline sleeper_t spawn_sleeper(const std::string& exe, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment = {}) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    launch_vectors_t vectors(exe, arguments, environment);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, exe.c_str(), &actions, nullptr, vectors.argv(), vectors.envp());
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (error != 0) {
        ::close(ready[0]);
        throw std::runtime_error("cannot start " + exe);
    }
    wait_until_ready(ready[0]);
    return sleeper_t(pid);
}

// As spawn_sleeper, under exactly the given pid, which must be free: what a reused pid looks like. Absent,
// with errno set, when the kernel does not let this process choose a pid (it needs CAP_SYS_ADMIN).
inline std::optional<sleeper_t> spawn_sleeper_at(pid_t pid, const std::string& exe,
                                                 const std::vector<std::string>& arguments,
                                                 const std::vector<std::string>& environment = {}) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    launch_vectors_t vectors(exe, arguments, environment);
    pid_t wanted[] = {pid};
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<std::uint64_t>(wanted);
    args.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        // Only async-signal-safe calls between clone and exec.
        ::dup2(ready[1], STDOUT_FILENO);
        ::execve(exe.c_str(), vectors.argv(), vectors.envp());
        ::_exit(127);
    }
    const int error = errno;
    ::close(ready[1]);
    if (child < 0) {
        ::close(ready[0]);
        errno = error;
        return std::nullopt;
    }
    wait_until_ready(ready[0]);
    return sleeper_t(static_cast<pid_t>(child));
}

}  // namespace process_testing
