// A client that speaks raw datagrams, for end-to-end tests of malformed messages. Signed like the
// application, so the helper admits it; what it sends decides the rest.
//   qv_raw_client SOCKET send HEX         handshake, send HEX, wait for a reply
//   qv_raw_client SOCKET oversize         handshake, send 65,537 bytes
//   qv_raw_client SOCKET before-echo HEX  answer the hello with HEX instead of the echo
//   qv_raw_client SOCKET fork-send HEX    handshake, then a forked child sends HEX
//   qv_raw_client SOCKET trace-send HEX1 HEX2  handshake, send HEX1, then with a tracer attached (a child
//                                              of its own) send HEX2
// Prints "reply <hex>" and exits 0, or exits 3 when the connection closed without one.
#include <sys/ptrace.h>
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

// Sends `request` while a child of ours traces this process, and waits for the reply.
int send_while_traced(xpc::remote_connection_t& connection, const xpc::bytes_t& request) {
    int attached[2];
    int done[2];
    if (pipe(attached) != 0 || pipe(done) != 0) {
        return 2;
    }
    const pid_t parent = getpid();
    const pid_t tracer = fork();
    if (tracer == 0) {
        close(done[1]);
        char byte = ptrace(PTRACE_SEIZE, parent, nullptr, nullptr) == 0 ? 'y' : 'n';
        (void)!write(attached[1], &byte, 1);
        (void)!read(done[0], &byte, 1);
        _exit(0);
    }
    close(done[0]);
    char byte = 0;
    if (read(attached[0], &byte, 1) != 1 || byte != 'y') {
        return 2;
    }
    const int status = connection.send_datagram(request) ? await_reply(connection) : 3;
    close(done[1]);
    waitpid(tracer, nullptr, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const std::string_view mode = argv[2];
    const xpc::bytes_t payload = argc > 3 ? from_hex(argv[3]) : xpc::bytes_t{};
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
    if (mode == "trace-send" && argc > 4) {
        if (!connection->send_datagram(payload) || await_reply(*connection) != 0) {
            return 3;
        }
        return send_while_traced(*connection, from_hex(argv[4]));
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
