#pragma once
// The connection threads of one listener. A thread may end (and drop the last reference to its
// connection) on its own; the registry joins it later, so no thread ever joins itself and none outlives
// the listener.

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::xpc {

class connection_t;

class thread_registry_t {
public:
    thread_registry_t() = default;
    ~thread_registry_t();
    thread_registry_t(const thread_registry_t&) = delete;
    thread_registry_t& operator=(const thread_registry_t&) = delete;

    // Starts `body` for `connection` and joins threads that have ended. False after shutdown(), or when no
    // thread can be started.
    [[nodiscard]] bool spawn(const std::shared_ptr<connection_t>& connection, std::function<void()> body);
    // Invalidates the connections that still run and joins every thread; later spawns are refused.
    void shutdown();

private:
    struct worker_t {
        std::thread thread;
        std::weak_ptr<connection_t> connection;
        bool ended = false;
    };
    std::mutex mutex_;
    std::list<worker_t> workers_;
    bool shut_down_ = false;
};

}  // namespace platform::xpc
