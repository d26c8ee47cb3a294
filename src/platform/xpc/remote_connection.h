#pragma once
// The client side of a connection: connects to a service socket, answers the service's hello, and
// sends requests one at a time, each waiting for its reply up to a time-out.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/owned_fd.h"
#include "platform/xpc/wire.h"

namespace platform::xpc {

struct datagram_t;

enum class call_error_t {
    refused,    // no connection, or closed before the service's hello (not admitted)
    closed,     // closed after admission without a reply
    timed_out,  // no reply within the time-out; the connection stays usable
    malformed,  // the service sent something that does not decode; the connection is closed
};
[[nodiscard]] std::string_view describe(call_error_t error);

// A reply value or the reason there is none.
class [[nodiscard]] call_result_t {
public:
    call_result_t(value_t value) : value_(std::move(value)) {}  // NOLINT: implicit by design
    call_result_t(call_error_t error) : error_(error) {}        // NOLINT: implicit by design
    [[nodiscard]] bool ok() const { return value_.has_value(); }
    [[nodiscard]] const value_t& value() const { return *value_; }
    [[nodiscard]] call_error_t error() const { return error_; }

private:
    std::optional<value_t> value_;
    call_error_t error_ = call_error_t::refused;
};

class remote_connection_t {
public:
    // Connects without waiting for the hello; null with a reason when the socket cannot be reached.
    [[nodiscard]] static std::unique_ptr<remote_connection_t> connect(const std::string& socket_path,
                                                                      std::string* reason = nullptr);

    // Waits for the service's hello and echoes it; call() does this before its first request.
    [[nodiscard]] std::optional<call_error_t> handshake(std::chrono::milliseconds timeout);

    // Sends one request and waits for the reply with its call id; replies to earlier calls that timed out
    // are skipped. Thread-safe: concurrent callers take turns.
    [[nodiscard]] call_result_t call(std::string_view selector, std::span<const value_t> arguments,
                                     char reply_type, std::chrono::milliseconds timeout);
    // Sends one request and does not wait for a reply, for a request that is never answered; the time-out
    // bounds the wait for the hello. The error when it could not be sent.
    [[nodiscard]] std::optional<call_error_t> post(std::string_view selector,
                                                   std::span<const value_t> arguments,
                                                   std::chrono::milliseconds timeout);

    // Raw datagrams, for tools and tests that speak the protocol themselves.
    [[nodiscard]] bool send_datagram(std::span<const std::uint8_t> message);
    // The next datagram within the time-out; empty when closed, timed out or too large.
    [[nodiscard]] std::optional<bytes_t> receive_datagram(std::chrono::milliseconds timeout);

    // The connected socket (for a child process that inherits it).
    [[nodiscard]] int native_handle() const { return socket_.get(); }
    void close();

private:
    explicit remote_connection_t(owned_fd_t socket);
    [[nodiscard]] std::optional<call_error_t> handshake_locked(
        std::chrono::steady_clock::time_point deadline);
    [[nodiscard]] std::optional<call_error_t> send_request_locked(std::uint64_t call_id,
                                                                  std::string_view selector,
                                                                  std::span<const value_t> arguments);
    // The next datagram, or why there is none; a connection that broke is closed and gives `when_closed`.
    [[nodiscard]] std::optional<call_error_t> receive_locked(datagram_t& datagram,
                                                             std::chrono::steady_clock::time_point deadline,
                                                             call_error_t when_closed);

    std::mutex mutex_;
    owned_fd_t socket_;
    bool admitted_ = false;
    std::uint64_t next_call_id_ = 1;
};

}  // namespace platform::xpc
