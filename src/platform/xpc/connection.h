#pragma once
// Stand-in for NSXPCConnection on the service side: one admitted client socket, served by its own
// thread, which handles requests one after another (the connection's serial queue).

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audit_token.h"
#include "platform/owned_fd.h"
#include "platform/xpc/connection_budget.h"
#include "platform/xpc/peer_process.h"
#include "platform/xpc/wire.h"

namespace platform::xpc {

class connection_t;
class thread_registry_t;

// The reply of one request. Sends its value once, with the request's call id, as long as the connection
// is valid; later calls, and a value of a type other than the declared reply type, send nothing. A reply
// that is never called sends nothing at all. Copies share the once-only state.
class reply_t {
public:
    reply_t(std::weak_ptr<connection_t> connection, std::uint64_t call_id, char reply_type);
    void operator()(value_t value) const;

private:
    struct state_t;
    std::shared_ptr<state_t> state_;
};

class connection_t : public std::enable_shared_from_this<connection_t> {
public:
    using exported_object_t = std::function<void(const request_t& request, reply_t reply)>;
    using handler_t = std::function<void()>;
    using protocol_error_handler_t = std::function<void(std::string_view reason)>;

    // Only the listener makes connections; the key keeps the constructor out of reach of others.
    class construction_key_t {
        friend class listener_t;
        construction_key_t() = default;
    };
    // The slot is given back when the connection, and with it its descriptors, is gone. A peer that
    // has not echoed the hello within hello_echo_timeout is refused as a protocol error.
    connection_t(construction_key_t, connection_budget_t::slot_t slot, owned_fd_t socket, peer_process_t peer,
                 std::shared_ptr<thread_registry_t> threads, std::chrono::milliseconds hello_echo_timeout);
    ~connection_t();
    connection_t(const connection_t&) = delete;
    connection_t& operator=(const connection_t&) = delete;

    // Who connected, taken at accept.
    [[nodiscard]] const audit_token_t& audit_token() const { return peer_.audit_token(); }
    [[nodiscard]] pid_t process_identifier() const { return peer_.pid(); }
    // The peer's /proc/<pid>/status, which can only ever be read for its process; borrowed, valid while the
    // connection lives.
    [[nodiscard]] int peer_status_file() const { return peer_.status_file(); }

    // Setters may be called at any time; a handler already running keeps the one it started with.
    // Requests whose selector is not in the interface are refused as protocol errors.
    void set_exported_interface(interface_t exported);
    void set_exported_object(exported_object_t object);
    // Runs once on the connection's thread when the peer closes or the connection is invalidated,
    // after any running request has finished. Handlers are released afterwards.
    void set_invalidation_handler(handler_t handler);
    // Kept for the macOS build, where it fires when the service side crashes and may relaunch. On Linux
    // a connection has no such event, so it never runs.
    void set_interruption_handler(handler_t handler);
    // Called once, on the connection's thread, with the reason a datagram was refused (malformed or
    // mismatched request, missing or late hello echo, foreign sender, changed executable); the
    // connection is then invalidated.
    void set_protocol_error_handler(protocol_error_handler_t handler);

    // Sends the hello and starts the connection's thread. Only the first call counts.
    void resume();
    // Closes the connection from any thread, including from a request handler. A connection that was
    // never resumed runs its invalidation handler on the calling thread.
    void invalidate();
    [[nodiscard]] bool is_valid() const { return !invalidated_.load(); }

private:
    friend class reply_t;
    struct handlers_t {
        interface_t exported;
        exported_object_t object;
        handler_t invalidation;
        handler_t interruption;
        protocol_error_handler_t protocol_error;
    };

    void serve();
    [[nodiscard]] bool receive_hello_echo();
    [[nodiscard]] std::optional<std::string> check_sender(const std::optional<ucred>& sender) const;
    void run_request(const request_t& request, const handlers_t& handlers);
    void refuse(std::string_view reason);
    void update_handlers(const std::function<void(handlers_t&)>& change);
    [[nodiscard]] std::shared_ptr<const handlers_t> handlers() const;
    void finish();
    [[nodiscard]] bool send_reply(std::uint64_t call_id, const value_t& value);

    // Declared first, so that it is given back after the descriptors below are closed.
    const connection_budget_t::slot_t slot_;
    const owned_fd_t socket_;
    const peer_process_t peer_;
    const std::shared_ptr<thread_registry_t> threads_;
    const std::chrono::milliseconds hello_echo_timeout_;
    hello_nonce_t nonce_{};

    // Replaced whole by the setters, so the connection's thread reads a snapshot without holding a lock.
    mutable std::mutex handlers_mutex_;
    std::shared_ptr<const handlers_t> handlers_;
    std::mutex send_mutex_;
    std::atomic<bool> resumed_{false};
    std::atomic<bool> invalidated_{false};
    std::atomic<bool> finished_{false};
};

// The connection whose request handler runs on this thread; empty elsewhere.
[[nodiscard]] std::shared_ptr<connection_t> current_connection();

}  // namespace platform::xpc
