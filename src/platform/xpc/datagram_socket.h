#pragma once
// Sending and receiving whole QVX1 datagrams on a SOCK_SEQPACKET socket, with the sender's credentials
// where the socket has SO_PASSCRED.

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/xpc/wire.h"

namespace platform::xpc {

enum class receive_status_t {
    message,    // a datagram of at most kMaxMessageSize bytes
    too_large,  // a datagram past kMaxMessageSize, discarded
    closed,     // the peer closed, or the socket was shut down
    timed_out,
    failed,
};

struct datagram_t {
    bytes_t bytes;
    std::optional<ucred> sender;  // SCM_CREDENTIALS, when the datagram carried them
};

// Waits up to `timeout` (forever when empty) for one datagram.
[[nodiscard]] receive_status_t receive_datagram(int socket, datagram_t& out,
                                                std::optional<std::chrono::milliseconds> timeout);
// Sends one datagram whole; never raises SIGPIPE. With dont_wait a full peer queue fails the send.
[[nodiscard]] bool send_datagram(int socket, std::span<const std::uint8_t> message, bool dont_wait = false);

}  // namespace platform::xpc
