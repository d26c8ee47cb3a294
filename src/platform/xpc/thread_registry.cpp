#include "platform/xpc/thread_registry.h"

#include <pthread.h>

#include <system_error>
#include <vector>

#include "platform/xpc/connection.h"

namespace platform::xpc {
namespace {

void join_all(std::list<std::thread>& threads) {
    for (auto& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            // Shut down from one of our own threads: it cannot wait for itself.
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
}

}  // namespace

thread_registry_t::~thread_registry_t() {
    shutdown();
}

bool thread_registry_t::spawn(const std::shared_ptr<connection_t>& connection, std::function<void()> body) {
    std::list<std::thread> ended;
    bool started = true;
    {
        std::lock_guard lock(mutex_);
        if (shut_down_) {
            return false;
        }
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->ended) {
                ended.push_back(std::move(it->thread));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
        auto worker = workers_.insert(workers_.end(), worker_t{{}, connection, false});
        // The body (and what it holds) is destroyed before the worker counts as ended, so a join that
        // follows sees a thread with nothing left to release.
        try {
            worker->thread = std::thread([this, worker, body = std::move(body)]() mutable {
                // Trace records name the thread; new threads would otherwise inherit the main thread's name.
                pthread_setname_np(pthread_self(), "qv-connection");
                body();
                body = nullptr;
                std::lock_guard done(mutex_);
                worker->ended = true;
            });
        } catch (const std::system_error&) {
            // Out of threads or memory: the caller gives back what the connection holds.
            workers_.erase(worker);
            started = false;
        }
    }
    join_all(ended);
    return started;
}

void thread_registry_t::shutdown() {
    std::vector<std::shared_ptr<connection_t>> running;
    {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        for (auto& worker : workers_) {
            if (auto connection = worker.connection.lock()) {
                running.push_back(std::move(connection));
            }
        }
    }
    for (const auto& connection : running) {
        connection->invalidate();
    }
    running.clear();
    // The nodes stay alive until every thread has been joined: each one marks its own node as it ends.
    std::list<worker_t> workers;
    {
        std::lock_guard lock(mutex_);
        workers.splice(workers.end(), workers_);
    }
    std::list<std::thread> threads;
    for (auto& worker : workers) {
        threads.push_back(std::move(worker.thread));
    }
    join_all(threads);
}

}  // namespace platform::xpc
