#include "platform/xpc/datagram_socket.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace platform::xpc {

receive_status_t receive_datagram(int socket, datagram_t& out,
                                  std::optional<std::chrono::milliseconds> timeout) {
    if (timeout) {
        pollfd waiting{socket, POLLIN, 0};
        int ready = 0;
        do {
            ready = poll(&waiting, 1, static_cast<int>(std::max<std::int64_t>(timeout->count(), 0)));
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            return receive_status_t::failed;
        }
        if (ready == 0) {
            return receive_status_t::timed_out;
        }
    }
    // One byte more than allowed tells an oversized datagram from one of exactly the limit.
    thread_local std::array<std::uint8_t, kMaxMessageSize + 1> scratch;
    out.bytes.clear();
    out.sender.reset();
    iovec buffer{scratch.data(), scratch.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received = 0;
    do {
        received = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        return errno == ECONNRESET ? receive_status_t::closed : receive_status_t::failed;
    }
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_CREDENTIALS &&
            part->cmsg_len == CMSG_LEN(sizeof(ucred))) {
            ucred sender{};
            std::memcpy(&sender, CMSG_DATA(part), sizeof sender);
            out.sender = sender;
        }
    }
    // End of stream reads as an empty datagram without credentials; a real empty datagram carries them
    // on a socket with SO_PASSCRED and is then refused as malformed.
    if (received == 0 && !out.sender) {
        return receive_status_t::closed;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(received) > kMaxMessageSize) {
        return receive_status_t::too_large;
    }
    out.bytes.assign(scratch.begin(), scratch.begin() + received);
    return receive_status_t::message;
}

bool send_datagram(int socket, std::span<const std::uint8_t> message, bool dont_wait) {
    if (message.size() > kMaxMessageSize) {
        return false;
    }
    const int flags = MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0);
    ssize_t sent = 0;
    do {
        sent = send(socket, message.data(), message.size(), flags);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace platform::xpc
