#include "support/recursive_lock.h"

#include <pthread.h>
#include <unistd.h>

namespace support {
namespace {

// Bumped in every forked child, so that ids remembered before the fork are fetched again.
std::atomic<std::uint32_t> fork_generation{1};

void note_fork_in_child() {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int fork_handler_installed = pthread_atfork(nullptr, nullptr, note_fork_in_child);

struct remembered_id_t {
    std::uint32_t generation = 0;
    std::uint32_t id = 0;
};

}  // namespace

std::uint32_t current_thread_id() noexcept {
    thread_local remembered_id_t remembered;
    const std::uint32_t generation = fork_generation.load(std::memory_order_relaxed);
    if (remembered.generation != generation) {
        remembered = {generation, static_cast<std::uint32_t>(gettid())};
    }
    return remembered.id;
}

std::uint32_t current_process_id() noexcept {
    static std::atomic<std::uint64_t> remembered{0};
    const std::uint32_t generation = fork_generation.load(std::memory_order_relaxed);
    std::uint64_t value = remembered.load(std::memory_order_relaxed);
    if (static_cast<std::uint32_t>(value >> 32) != generation) {
        value = (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(getpid());
        remembered.store(value, std::memory_order_relaxed);
    }
    return static_cast<std::uint32_t>(value);
}

void recursive_lock_t::lock() {
    mutex_.lock();
    if (++depth_ == 1) {
        owner_.exchange(current_thread_id());
    }
}

void recursive_lock_t::unlock() {
    if (--depth_ == 0) {
        owner_.exchange(0);
    }
    mutex_.unlock();
}

bool recursive_lock_t::held_by_current_thread() const noexcept {
    return owner_.load() == current_thread_id();
}

}  // namespace support
