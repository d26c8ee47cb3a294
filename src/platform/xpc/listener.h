#pragma once
// Stand-in for NSXPCListener on a Mach service: an AF_UNIX SOCK_SEQPACKET socket at
// <root>/var/run/<service name>, or the one handed over by systemd socket activation. Its queue is one
// thread, on which the delegate decides about each new connection, one at a time. Before that, connections
// are closed at once whose peer the kernel did not vouch for when it connected (platform::
// kernel_vouches_for_peer), whose peer has hung up, or that are over the caps of connection_budget.h.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/owned_fd.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/connection_budget.h"

namespace platform::xpc {

class thread_registry_t;

class listener_t {
public:
    // Returns true to admit: the delegate then configures the connection and resumes it. A refused
    // connection is invalidated by the listener.
    using delegate_t = std::function<bool(const std::shared_ptr<connection_t>& connection)>;
    // Problems that concern no admitted connection: an accept that failed, connections refused over
    // the limits (at most one message per limits.refusal_record_interval, with their count). A peer
    // that is gone before it could be examined is refused without a message. The listener goes on.
    using error_handler_t = std::function<void(std::string_view message)>;

    // Takes the socket handed over by socket activation when there is one, else binds
    // service_socket_path(service_name) with mode 0666. Null with a reason on failure. The limits are
    // shrunk to fit the process's open-files limit.
    [[nodiscard]] static std::unique_ptr<listener_t> create_for_service(
        std::string_view service_name, std::string* reason = nullptr, const connection_limits_t& limits = {});
    // Binds the given path; for the service and for tests.
    [[nodiscard]] static std::unique_ptr<listener_t> create_at_path(const std::string& socket_path,
                                                                    std::string* reason = nullptr,
                                                                    const connection_limits_t& limits = {});

    // Stops accepting, invalidates every connection it made and waits for their threads. Must not run on
    // one of those threads.
    ~listener_t();
    listener_t(const listener_t&) = delete;
    listener_t& operator=(const listener_t&) = delete;

    // Set both before resume().
    void set_delegate(delegate_t delegate);
    void set_error_handler(error_handler_t handler);
    // Starts the listener thread. Only the first call counts.
    void resume();

    [[nodiscard]] const std::string& socket_path() const { return path_; }

private:
    // Events of one kind, let through as one message per interval with their count.
    class rate_limited_t {
    public:
        explicit rate_limited_t(std::chrono::milliseconds interval) : interval_(interval) {}
        void note(std::string reason) {
            ++count_;
            last_reason_ = std::move(reason);
        }
        // The message to pass on now, if one is due (or, with `now_or_never`, if any is held back); the
        // count starts again.
        [[nodiscard]] std::optional<std::string> take_due(std::string_view what, bool now_or_never = false);
        // Milliseconds until a message is due, or -1 when none waits.
        [[nodiscard]] int wait_milliseconds() const;

    private:
        const std::chrono::milliseconds interval_;
        std::size_t count_ = 0;
        std::string last_reason_;
        std::optional<std::chrono::steady_clock::time_point> last_message_;
    };

    // Accepted and within the caps, not yet examined.
    struct waiting_connection_t {
        owned_fd_t socket;
        uid_t user = 0;
        connection_budget_t::slot_t slot;
    };

    listener_t(owned_fd_t socket, std::string path, bool owns_path, const connection_limits_t& limits);
    void accept_loop();
    // Takes what waits on the listening socket, refusing connections over the caps at once. False when
    // the process is short of memory and accept must wait.
    [[nodiscard]] bool take_connections();
    [[nodiscard]] std::optional<waiting_connection_t> next_to_examine();
    [[nodiscard]] bool drop_waiting_connection();
    // Gives back the slots of waiting connections whose peers have hung up; true when there were any.
    [[nodiscard]] bool drop_departed_connections();
    // Examines the peer and offers the connection to the delegate, one at a time.
    void examine(waiting_connection_t waiting);
    void report(std::string_view message) const;
    // Passes on the messages that are due; when stopping, also those still held back.
    void report_due(bool stopping = false);

    owned_fd_t socket_;
    owned_fd_t stop_event_;
    // Kept free, so that a connection can still be taken off the queue (and closed) when the process
    // is out of descriptors, instead of being offered again and again.
    owned_fd_t spare_descriptor_;
    const std::string path_;
    const bool owns_path_;
    const connection_limits_t limits_;
    const std::shared_ptr<connection_budget_t> budget_;
    delegate_t delegate_;
    error_handler_t error_handler_;
    // Used on the listener thread only.
    std::deque<waiting_connection_t> waiting_;
    rate_limited_t refusals_;
    rate_limited_t accept_failures_;
    std::shared_ptr<thread_registry_t> threads_;
    std::thread thread_;
};

// "<root>/var/run/<service name>".
[[nodiscard]] std::string service_socket_path(std::string_view service_name);

}  // namespace platform::xpc
