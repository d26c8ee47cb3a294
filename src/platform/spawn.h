#pragma once
// Owners of the posix_spawn file actions and attributes, for every process the helper starts.

#include <signal.h>
#include <spawn.h>

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

}  // namespace platform
