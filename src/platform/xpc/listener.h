#pragma once
// Stand-in for NSXPCListener on a Mach service: an AF_UNIX SOCK_SEQPACKET socket at
// <root>/var/run/<service name>, or the one handed over by systemd socket activation. Its queue is one
// thread, on which the delegate decides about each new connection.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/owned_fd.h"
#include "platform/xpc/connection.h"

namespace platform::xpc {

class thread_registry_t;

class listener_t {
public:
    // Returns true to admit: the delegate then configures the connection and resumes it. A refused
    // connection is invalidated by the listener.
    using delegate_t = std::function<bool(const std::shared_ptr<connection_t>& connection)>;
    // Problems that concern no admitted connection (an accept that failed, a peer that could not be
    // identified); the listener goes on.
    using error_handler_t = std::function<void(std::string_view message)>;

    // Takes the socket handed over by socket activation when there is one, else binds
    // service_socket_path(service_name) with mode 0666. Null with a reason on failure.
    [[nodiscard]] static std::unique_ptr<listener_t> create_for_service(std::string_view service_name,
                                                                        std::string* reason = nullptr);
    // Binds the given path; for the service and for tests.
    [[nodiscard]] static std::unique_ptr<listener_t> create_at_path(const std::string& socket_path,
                                                                    std::string* reason = nullptr);

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
    listener_t(owned_fd_t socket, std::string path, bool owns_path);
    void accept_loop();
    void admit(owned_fd_t client);
    void report(std::string_view message) const;

    owned_fd_t socket_;
    owned_fd_t stop_event_;
    const std::string path_;
    const bool owns_path_;
    delegate_t delegate_;
    error_handler_t error_handler_;
    std::shared_ptr<thread_registry_t> threads_;
    std::thread thread_;
};

// "<root>/var/run/<service name>".
[[nodiscard]] std::string service_socket_path(std::string_view service_name);

}  // namespace platform::xpc
