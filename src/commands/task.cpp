#include "commands/task.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <utility>

#include "commands/utf8.h"
#include "platform/owned_fd.h"
#include "platform/spawn.h"

extern char** environ;

namespace commands {
namespace {

constexpr double kPollSeconds = 0.1;
constexpr int kPollMilliseconds = 100;

using fd_t = platform::owned_fd_t;

struct pipe_t {
    fd_t read_end;
    fd_t write_end;
};

pipe_t make_pipe() {
    std::array<int, 2> fds{};
    // Close-on-exec, so that tools started concurrently on other threads never inherit our ends.
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw launch_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    return {fd_t(fds[0]), fd_t(fds[1])};
}

// Standard descriptors to hand to the child; -1 keeps the helper's own.
struct child_stdio_t {
    int input = -1;
    int output = -1;
};

pid_t spawn(const std::string& path, const std::vector<std::string>& arguments, child_stdio_t stdio) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    platform::spawn_file_actions_t actions;
    if (stdio.input >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), stdio.input, STDIN_FILENO);
    }
    if (stdio.output >= 0) {
        ::posix_spawn_file_actions_adddup2(actions.get(), stdio.output, STDOUT_FILENO);
    }
    platform::spawn_attributes_t attributes;
    pid_t pid = -1;
    // glibc reports a failed exec in the child (missing tool, no execute permission) as the result here.
    const int error =
        ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    if (error != 0) {
        throw launch_error("cannot launch " + path + ": " + std::strerror(error));
    }
    return pid;
}

[[nodiscard]] std::int32_t status_of(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return WTERMSIG(wait_status);
    }
    return -1;
}

// Blocks until the child has ended and gives its termination status.
[[nodiscard]] std::int32_t wait_for(pid_t pid) {
    const auto wait_status = platform::wait_for_child(pid);
    return wait_status ? status_of(*wait_status) : -1;
}

// Appends what is readable now. Returns false once the pipe has reached its end of file (or failed).
bool read_available(int fd, std::string& output) {
    std::array<char, 65536> buffer{};
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count > 0) {
        output.append(buffer.data(), static_cast<std::size_t>(count));
        return true;
    }
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    return false;
}

// Waits up to `milliseconds` for output and reads it. Returns false once the end of file was reached.
bool drain_for(int fd, std::string& output, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, milliseconds);
    if (ready <= 0) {
        return true;
    }
    return read_available(fd, output);
}

[[nodiscard]] bool has_input(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

void read_to_end(int fd, std::string& output) {
    while (drain_for(fd, output, -1)) {
    }
}

void pause_for(double seconds) {
    timespec remaining{0, static_cast<long>(seconds * 1e9)};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Writes all of `input`, giving up quietly when the reader has gone. SIGPIPE is held back on this thread
// during the write and a pending one consumed, so a tool that closes its input never ends the helper.
void write_all_without_sigpipe(int fd, std::string_view input) {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending_before;
    sigpending(&pending_before);
    const bool was_pending = sigismember(&pending_before, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);

    bool broken = false;
    while (!input.empty()) {
        const ssize_t count = ::write(fd, input.data(), input.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            broken = errno == EPIPE;
            break;
        }
        input.remove_prefix(static_cast<std::size_t>(count));
    }

    if (broken && !was_pending) {
        const timespec no_wait{0, 0};
        while (::sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

task_t::task_t(std::string launch_path, std::vector<std::string> arguments)
    : launch_path_(std::move(launch_path)), arguments_(std::move(arguments)) {}

void task_t::mark_launched() {
    if (launched_) {
        throw std::logic_error("task already launched");
    }
    launched_ = true;
}

task_t::capture_t task_t::run_capturing() {
    mark_launched();
    pipe_t output_pipe = make_pipe();
    const pid_t pid = spawn(launch_path_, arguments_, {.output = output_pipe.write_end.get()});
    output_pipe.write_end.reset();

    capture_t result;
    read_to_end(output_pipe.read_end.get(), result.output);
    result.status = wait_for(pid);
    return result;
}

std::optional<std::string> task_t::syncStdOutExecute() {
    capture_t result = run_capturing();
    if (result.status != 0 || !is_valid_utf8(result.output)) {
        return std::nullopt;
    }
    return std::move(result.output);
}

std::optional<std::string> task_t::syncStdOutExecuteWithTimeout(double timeout) {
    // Also refuses NaN, for which every comparison is false.
    if (!(timeout > kPollSeconds)) {
        throw std::logic_error("lower won't run");
    }
    mark_launched();
    pipe_t output_pipe = make_pipe();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn(launch_path_, arguments_, {.output = output_pipe.write_end.get()});
    output_pipe.write_end.reset();

    std::string output;
    bool pipe_open = true;
    std::int32_t status = -1;
    for (;;) {
        int wait_status = 0;
        const pid_t ended = ::waitpid(pid, &wait_status, WNOHANG);
        if (ended == pid) {
            status = status_of(wait_status);
            break;
        }
        if (ended < 0 && errno != EINTR) {
            break;
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeout) {
            ::kill(pid, SIGTERM);
            if (pipe_open) {
                pipe_open = drain_for(output_pipe.read_end.get(), output, 0);
            }
        } else if (pipe_open) {
            // The 0.1 s pause doubles as the drain, so a chatty tool never fills the pipe and stalls.
            pipe_open = drain_for(output_pipe.read_end.get(), output, kPollMilliseconds);
        } else {
            pause_for(kPollSeconds);
        }
    }
    if (status != 0) {
        return std::string();
    }
    // Everything the tool wrote is in the pipe by now. A process it left behind may still hold the pipe
    // open, and waiting for that end of file would undo the time-out, so only what is there is taken.
    while (pipe_open && has_input(output_pipe.read_end.get())) {
        pipe_open = read_available(output_pipe.read_end.get(), output);
    }
    if (!is_valid_utf8(output)) {
        return std::nullopt;
    }
    return output;
}

std::int32_t task_t::syncExec(const std::string& path, const std::vector<std::string>& arguments) {
    const pid_t pid = spawn(path, arguments, {});
    return wait_for(pid);
}

std::int32_t task_t::syncExecWithInput(const std::string& path, const std::vector<std::string>& arguments,
                                       std::string_view input) {
    pipe_t input_pipe = make_pipe();
    const pid_t pid = spawn(path, arguments, {.input = input_pipe.read_end.get()});
    input_pipe.read_end.reset();
    write_all_without_sigpipe(input_pipe.write_end.get(), input);
    input_pipe.write_end.reset();
    return wait_for(pid);
}

void task_t::launch_detached(const std::string& path, const std::vector<std::string>& arguments) {
    const pid_t pid = spawn(path, arguments, {});
    std::thread([pid] { (void)wait_for(pid); }).detach();
}

}  // namespace commands
