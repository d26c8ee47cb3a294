// A client that speaks raw datagrams, for end-to-end tests of malformed messages. Signed like the
// application, so the helper admits it; what it sends decides the rest.
//   qv_raw_client SOCKET send HEX         handshake, send HEX, wait for a reply
//   qv_raw_client SOCKET oversize         handshake, send 65,537 bytes
//   qv_raw_client SOCKET before-echo HEX  answer the hello with HEX instead of the echo
//   qv_raw_client SOCKET fork-send HEX    handshake, then a forked child sends HEX
//   qv_raw_client SOCKET load-send LIBRARY HEX...  handshake, load LIBRARY, send each HEX after the reply
//                                                   to the one before
// Prints "reply <hex>" and exits 0, or exits 3 when the connection closed without one.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/xpc/remote_connection.h"

namespace {

using namespace std::chrono_literals;
namespace xpc = platform::xpc;

xpc::bytes_t from_hex(std::string_view hex) {
    xpc::bytes_t bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, bytes[i], 16);
    }
    return bytes;
}

int await_reply(xpc::remote_connection_t& connection) {
    const auto reply = connection.receive_datagram(5s);
    if (!reply) {
        std::puts("closed");
        return 3;
    }
    std::printf("reply ");
    for (const std::uint8_t byte : *reply) {
        std::printf("%02x", byte);
    }
    std::puts("");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string_view mode = argv[2];
    const xpc::bytes_t payload = argc > 3 && mode != "load-send" ? from_hex(argv[3]) : xpc::bytes_t{};
    auto connection = xpc::remote_connection_t::connect(argv[1]);
    if (!connection) {
        return 3;
    }
    if (mode == "before-echo") {
        if (!connection->receive_datagram(5s) || !connection->send_datagram(payload)) {
            return 3;
        }
        return await_reply(*connection);
    }
    if (connection->handshake(5s)) {
        return 3;
    }
    if (mode == "send") {
        return connection->send_datagram(payload) ? await_reply(*connection) : 3;
    }
    if (mode == "oversize") {
        const xpc::bytes_t huge(xpc::kMaxMessageSize + 1, 0x51);
        return connection->send_datagram(huge) ? await_reply(*connection) : 3;
    }
    if (mode == "load-send" && argc > 4) {
        if (dlopen(argv[3], RTLD_NOW) == nullptr) {
            return 2;
        }
        for (int i = 4; i < argc; ++i) {
            if (!connection->send_datagram(from_hex(argv[i])) || await_reply(*connection) != 0) {
                return 3;
            }
        }
        return 0;
    }
    if (mode == "fork-send") {
        const pid_t child = fork();
        if (child == 0) {
            _exit(connection->send_datagram(payload) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return await_reply(*connection);
    }
    return 2;
}
