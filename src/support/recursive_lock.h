#pragma once
// A recursive mutex that knows how deep it is held and by which thread, for the trace log's lock.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace support {

class recursive_lock_t {
public:
    void lock();
    void unlock();

    // True when the calling thread holds the lock (at any depth).
    [[nodiscard]] bool held_by_current_thread() const noexcept;
    // Only meaningful to the holder.
    [[nodiscard]] std::uint32_t depth() const noexcept { return depth_; }

private:
    std::recursive_mutex mutex_;
    std::uint32_t depth_ = 0;
    std::atomic<std::uint32_t> owner_{0};
};

// The kernel's id of the calling thread, remembered per thread and renewed in a forked child.
[[nodiscard]] std::uint32_t current_thread_id() noexcept;
// The process id, remembered and renewed in a forked child.
[[nodiscard]] std::uint32_t current_process_id() noexcept;

}  // namespace support
