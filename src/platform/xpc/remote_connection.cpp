#include "platform/xpc/remote_connection.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/xpc/datagram_socket.h"

namespace platform::xpc {
namespace {

using steady_clock_t = std::chrono::steady_clock;

std::chrono::milliseconds remaining(steady_clock_t::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock_t::now());
    return std::max(left, std::chrono::milliseconds{0});
}

}  // namespace

std::string_view describe(call_error_t error) {
    switch (error) {
        case call_error_t::refused:
            return "connection refused";
        case call_error_t::closed:
            return "connection closed without a reply";
        case call_error_t::timed_out:
            return "timed out waiting for the reply";
        case call_error_t::malformed:
            return "malformed message from the service";
    }
    return "unknown error";
}

remote_connection_t::remote_connection_t(owned_fd_t socket) : socket_(std::move(socket)) {}

std::unique_ptr<remote_connection_t> remote_connection_t::connect(const std::string& socket_path,
                                                                  std::string* reason) {
    auto fail = [reason](std::string text) -> std::unique_ptr<remote_connection_t> {
        if (reason != nullptr) {
            *reason = std::move(text);
        }
        return nullptr;
    };
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path) {
        return fail("socket path too long: " + socket_path);
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    owned_fd_t socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        return fail(std::string("socket: ") + std::strerror(errno));
    }
    int result = 0;
    do {
        result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return fail("connect " + socket_path + ": " + std::strerror(errno));
    }
    return std::unique_ptr<remote_connection_t>(new remote_connection_t(std::move(socket)));
}

std::optional<call_error_t> remote_connection_t::handshake(std::chrono::milliseconds timeout) {
    std::lock_guard lock(mutex_);
    return handshake_locked(steady_clock_t::now() + timeout);
}

std::optional<call_error_t> remote_connection_t::receive_locked(datagram_t& datagram,
                                                                steady_clock_t::time_point deadline,
                                                                call_error_t when_closed) {
    switch (xpc::receive_datagram(socket_.get(), datagram, remaining(deadline))) {
        case receive_status_t::message:
            return std::nullopt;
        case receive_status_t::timed_out:
            return call_error_t::timed_out;
        case receive_status_t::too_large:
            socket_.reset();
            return call_error_t::malformed;
        case receive_status_t::closed:
        case receive_status_t::failed:
            break;
    }
    socket_.reset();
    return when_closed;
}

std::optional<call_error_t> remote_connection_t::handshake_locked(steady_clock_t::time_point deadline) {
    if (!socket_.valid()) {
        return admitted_ ? call_error_t::closed : call_error_t::refused;
    }
    if (admitted_) {
        return std::nullopt;
    }
    datagram_t datagram;
    if (const auto error = receive_locked(datagram, deadline, call_error_t::refused)) {
        return error;
    }
    const auto hello = decode_hello(datagram.bytes);
    if (!hello) {
        socket_.reset();
        return call_error_t::malformed;
    }
    if (!xpc::send_datagram(socket_.get(), encode_hello_echo(hello.value()))) {
        socket_.reset();
        return call_error_t::refused;
    }
    admitted_ = true;
    return std::nullopt;
}

call_result_t remote_connection_t::call(std::string_view selector, std::span<const value_t> arguments,
                                        char reply_type, std::chrono::milliseconds timeout) {
    std::lock_guard lock(mutex_);
    const auto deadline = steady_clock_t::now() + timeout;
    if (auto error = handshake_locked(deadline)) {
        return *error;
    }
    const std::uint64_t call_id = next_call_id_++;
    if (auto error = send_request_locked(call_id, selector, arguments)) {
        return *error;
    }
    datagram_t datagram;
    while (true) {
        if (const auto error = receive_locked(datagram, deadline, call_error_t::closed)) {
            return *error;
        }
        const auto header = decode_header(datagram.bytes);
        if (header && header->kind == message_kind_t::reply && header->call_id != call_id) {
            continue;  // the late reply of an earlier call that timed out
        }
        auto reply = decode_reply(datagram.bytes, reply_type);
        if (!reply) {
            socket_.reset();
            return call_error_t::malformed;
        }
        return std::move(reply).value().value;
    }
}

std::optional<call_error_t> remote_connection_t::post(std::string_view selector,
                                                      std::span<const value_t> arguments,
                                                      std::chrono::milliseconds timeout) {
    std::lock_guard lock(mutex_);
    if (auto error = handshake_locked(steady_clock_t::now() + timeout)) {
        return error;
    }
    return send_request_locked(next_call_id_++, selector, arguments);
}

std::optional<call_error_t> remote_connection_t::send_request_locked(std::uint64_t call_id,
                                                                     std::string_view selector,
                                                                     std::span<const value_t> arguments) {
    const bytes_t request = encode_request(call_id, selector, arguments);
    // Such a request could not be encoded faithfully; the service would refuse it and close.
    if (arguments.size() > 255 || selector.size() > 0xffff || request.size() > kMaxMessageSize) {
        return call_error_t::malformed;
    }
    if (!xpc::send_datagram(socket_.get(), request)) {
        socket_.reset();
        return call_error_t::closed;
    }
    return std::nullopt;
}

bool remote_connection_t::send_datagram(std::span<const std::uint8_t> message) {
    std::lock_guard lock(mutex_);
    ssize_t sent = 0;
    do {
        sent = send(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(message.size());
}

std::optional<bytes_t> remote_connection_t::receive_datagram(std::chrono::milliseconds timeout) {
    std::lock_guard lock(mutex_);
    datagram_t datagram;
    if (xpc::receive_datagram(socket_.get(), datagram, timeout) != receive_status_t::message) {
        return std::nullopt;
    }
    return std::move(datagram.bytes);
}

void remote_connection_t::close() {
    std::lock_guard lock(mutex_);
    socket_.reset();
}

}  // namespace platform::xpc
