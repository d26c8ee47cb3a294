#pragma once
// Owners of the posix_spawn file actions and attributes, and the wait for a child, for every process the
// helper starts.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>

namespace platform {

class spawn_file_actions_t {
public:
    spawn_file_actions_t() { ::posix_spawn_file_actions_init(&actions_); }
    ~spawn_file_actions_t() { ::posix_spawn_file_actions_destroy(&actions_); }
    spawn_file_actions_t(const spawn_file_actions_t&) = delete;
    spawn_file_actions_t& operator=(const spawn_file_actions_t&) = delete;
    [[nodiscard]] posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

// A child starts with default signal handling and nothing blocked, whatever the calling thread did;
// otherwise an inherited ignored SIGTERM would defeat a time-out.
class spawn_attributes_t {
public:
    spawn_attributes_t() {
        ::posix_spawnattr_init(&attributes_);
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attributes_, &all);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~spawn_attributes_t() { ::posix_spawnattr_destroy(&attributes_); }
    spawn_attributes_t(const spawn_attributes_t&) = delete;
    spawn_attributes_t& operator=(const spawn_attributes_t&) = delete;
    [[nodiscard]] const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
};

// Blocks until the child has ended and gives its raw wait status; absent when it cannot be waited for.
[[nodiscard]] inline std::optional<int> wait_for_child(pid_t pid) {
    int wait_status = 0;
    while (::waitpid(pid, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return wait_status;
}

// As wait_for_child, for at most `time_limit`: a child that has not ended by then is killed and reaped,
// and gives no status. So does a child whose end cannot be watched.
[[nodiscard]] inline std::optional<int> wait_for_child_within(pid_t pid,
                                                              std::chrono::milliseconds time_limit) {
    // Our own child cannot be reaped by anyone else, so its pid names it until we wait for it.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
    int ready = -1;
    if (pidfd >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + time_limit;
        pollfd ended{pidfd, POLLIN, 0};
        do {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            ready = ::poll(&ended, 1, static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX)));
        } while (ready < 0 && errno == EINTR);
        ::close(pidfd);
    }
    if (ready <= 0) {
        ::kill(pid, SIGKILL);
        static_cast<void>(wait_for_child(pid));
        return std::nullopt;
    }
    return wait_for_child(pid);
}

}  // namespace platform
