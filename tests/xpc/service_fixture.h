#pragma once
// A listener on a service socket in a sandbox root, with a small exported interface and a record of
// what its handlers saw, for tests that drive it through remote_connection_t or raw datagrams.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fixtures/sandbox.h"
#include "platform/xpc/listener.h"
#include "platform/xpc/remote_connection.h"

namespace xpc_test {

using namespace std::chrono_literals;
namespace xpc = platform::xpc;

inline constexpr std::array<xpc::method_signature_t, 4> kInterface = {{
    {"echo:reply:", "@", '@'},
    {"add:to:reply:", "ii", 'i'},
    {"wait_then_reply:", "", 'B'},
    {"never_reply:", "", 'B'},
}};

inline constexpr auto kPatience = 10s;

class service_fixture_t : public testing::Test {
protected:
    void TearDown() override {
        release_waiting_handler();
        listener_.reset();
    }

    // Admits every connection unless admit_ says otherwise; installs handlers as the helper does,
    // holding the connection weakly. Without `resume`, connections wait in the queue until the test
    // resumes the listener.
    void start(bool resume = true) {
        std::string reason;
        listener_ = xpc::listener_t::create_for_service("com.example.xpc-test", &reason, limits_);
        ASSERT_TRUE(listener_) << reason;
        listener_->set_error_handler(
            [this](std::string_view message) { record([&] { reports_.emplace_back(message); }); });
        listener_->set_delegate([this](const std::shared_ptr<xpc::connection_t>& connection) {
            if (!admit_(connection)) {
                return false;
            }
            std::weak_ptr<xpc::connection_t> weak = connection;
            connection->set_exported_interface(kInterface);
            connection->set_exported_object([this, weak](const xpc::request_t& request, xpc::reply_t reply) {
                handle(weak, request, reply);
            });
            connection->set_protocol_error_handler(
                [this](std::string_view reason) { record([&] { protocol_errors_.emplace_back(reason); }); });
            connection->set_invalidation_handler([this] {
                record([&] {
                    ++invalidations_;
                    events_.emplace_back("invalidated");
                });
            });
            record([&] { admitted_.push_back(weak); });
            connection->resume();
            return true;
        });
        if (resume) {
            listener_->resume();
        }
    }

    [[nodiscard]] std::unique_ptr<xpc::remote_connection_t> connect() {
        std::string reason;
        auto client = xpc::remote_connection_t::connect(listener_->socket_path(), &reason);
        EXPECT_TRUE(client) << reason;
        return client;
    }

    // Waits until `done` holds (checked under the record's lock); false after kPatience.
    [[nodiscard]] bool wait_for(const std::function<bool()>& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, done);
    }

    // Releases a handler blocked in "wait_then_reply:".
    void release_waiting_handler() {
        record([&] { release_ = true; });
    }

    template <typename F>
    void record(F change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }

    fixtures::sandbox_t sandbox_;
    std::unique_ptr<xpc::listener_t> listener_;
    std::function<bool(const std::shared_ptr<xpc::connection_t>&)> admit_ = [](const auto&) { return true; };
    xpc::connection_limits_t limits_;

    // What the handlers saw; guarded by mutex_.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::weak_ptr<xpc::connection_t>> admitted_;
    std::vector<std::string> events_;
    std::vector<std::string> protocol_errors_;
    std::vector<std::string> reports_;  // the listener's error handler
    int requests_ = 0;
    int invalidations_ = 0;
    bool release_ = false;
    bool current_matched_ = false;

private:
    void handle(const std::weak_ptr<xpc::connection_t>& weak, const xpc::request_t& request,
                xpc::reply_t& reply) {
        const auto current = xpc::current_connection();
        record([&] {
            ++requests_;
            current_matched_ = current != nullptr && current == weak.lock();
            events_.push_back(std::string(request.method->selector));
        });
        const std::string_view selector = request.method->selector;
        if (selector == "echo:reply:") {
            reply(request.arguments[0]);
        } else if (selector == "add:to:reply:") {
            reply(std::get<std::int32_t>(request.arguments[0]) +
                  std::get<std::int32_t>(request.arguments[1]));
        } else if (selector == "wait_then_reply:") {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return release_; });
            events_.emplace_back("handler finished");
            lock.unlock();
            reply(true);
        }
    }
};

}  // namespace xpc_test
