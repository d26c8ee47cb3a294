#pragma once
// Owners of the posix_spawn file actions and attributes, and the wait for a child, for every process the
// helper starts.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
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

}  // namespace platform
