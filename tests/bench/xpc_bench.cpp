// Round trips through listener and remote_connection_t beside bare SOCK_SEQPACKET ping-pong of the same
// sizes, for one connection and for 16 at once: the cost of the connection layer over the socket.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "fixtures/sandbox.h"
#include "platform/owned_fd.h"
#include "platform/xpc/listener.h"
#include "platform/xpc/remote_connection.h"

namespace {

namespace xpc = platform::xpc;
using namespace std::chrono_literals;

constexpr std::array<xpc::method_signature_t, 1> kInterface = {{{"echo:reply:", "D", 'D'}}};
constexpr int kConcurrentClients = 16;
constexpr int kCallsPerClient = 200;

// A listener that admits everyone and echoes data, as the helper's handlers would answer.
class echo_service_t {
public:
    echo_service_t() {
        listener_ = xpc::listener_t::create_for_service("com.example.bench");
        listener_->set_delegate([](const std::shared_ptr<xpc::connection_t>& connection) {
            connection->set_exported_interface(kInterface);
            connection->set_exported_object(
                [](const xpc::request_t& request, xpc::reply_t reply) { reply(request.arguments[0]); });
            connection->resume();
            return true;
        });
        listener_->resume();
    }
    [[nodiscard]] std::unique_ptr<xpc::remote_connection_t> connect() const {
        return xpc::remote_connection_t::connect(listener_->socket_path());
    }

private:
    fixtures::sandbox_t sandbox_;
    std::unique_ptr<xpc::listener_t> listener_;
};

// A bare server: a SOCK_SEQPACKET socket with one echo thread per connection.
class bare_server_t {
public:
    bare_server_t() : path_(sandbox_.path("/var/run/bare")) {
        socket_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        static_cast<void>(bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
        static_cast<void>(listen(socket_.get(), SOMAXCONN));
        acceptor_ = std::thread([this] {
            while (true) {
                int client = accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0 || stopping_.load()) {
                    if (client >= 0) {
                        close(client);
                    }
                    return;
                }
                echoes_.emplace_back([client] {
                    platform::owned_fd_t owned(client);
                    std::vector<std::uint8_t> buffer(xpc::kMaxMessageSize + 1);
                    ssize_t got = 0;
                    while ((got = recv(client, buffer.data(), buffer.size(), 0)) > 0) {
                        if (send(client, buffer.data(), static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) {
                            return;
                        }
                    }
                });
            }
        });
    }
    ~bare_server_t() {
        stopping_.store(true);
        // Wakes the acceptor with one last connection.
        static_cast<void>(connect());
        acceptor_.join();
        for (auto& echo : echoes_) {
            echo.join();
        }
    }
    [[nodiscard]] platform::owned_fd_t connect() const {
        platform::owned_fd_t client(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        static_cast<void>(
            ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
        return client;
    }

private:
    fixtures::sandbox_t sandbox_;
    std::string path_;
    platform::owned_fd_t socket_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> echoes_;
};

[[nodiscard]] bool xpc_round_trip(xpc::remote_connection_t& client,
                                  const std::vector<xpc::value_t>& arguments) {
    const auto reply = client.call("echo:reply:", arguments, 'D', 10s);
    return reply.ok();
}

[[nodiscard]] bool bare_round_trip(int socket, const std::vector<std::uint8_t>& message,
                                   std::vector<std::uint8_t>& buffer) {
    return send(socket, message.data(), message.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(message.size()) &&
           recv(socket, buffer.data(), buffer.size(), 0) == static_cast<ssize_t>(message.size());
}

// The bare message has the size of the encoded request, so both carry the same bytes.
std::vector<std::uint8_t> bare_message_like(const std::vector<xpc::value_t>& arguments) {
    return xpc::encode_request(1, kInterface[0].selector, arguments);
}

std::vector<xpc::value_t> payload(std::int64_t size) {
    return {std::optional<std::vector<std::uint8_t>>{
        std::vector<std::uint8_t>(static_cast<std::size_t>(size), 7)}};
}

void BM_XpcRoundTrip(benchmark::State& state) {
    echo_service_t service;
    auto client = service.connect();
    const auto arguments = payload(state.range(0));
    for (auto _ : state) {
        if (!xpc_round_trip(*client, arguments)) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_XpcRoundTrip)->Arg(16)->Arg(1024)->Arg(16384)->UseRealTime();

void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
    bare_server_t server;
    const auto client = server.connect();
    const auto message = bare_message_like(payload(state.range(0)));
    std::vector<std::uint8_t> buffer(xpc::kMaxMessageSize + 1);
    for (auto _ : state) {
        if (!bare_round_trip(client.get(), message, buffer)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareSeqpacketRoundTrip)->Arg(16)->Arg(1024)->Arg(16384)->UseRealTime();

// Each iteration: 16 clients, each on its own connection and thread, make kCallsPerClient round trips.
void BM_Xpc16ConcurrentConnections(benchmark::State& state) {
    echo_service_t service;
    std::vector<std::unique_ptr<xpc::remote_connection_t>> clients;
    for (int i = 0; i < kConcurrentClients; ++i) {
        clients.push_back(service.connect());
    }
    const auto arguments = payload(64);
    std::atomic<int> failures{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (auto& client : clients) {
            threads.emplace_back([&] {
                for (int call = 0; call < kCallsPerClient; ++call) {
                    if (!xpc_round_trip(*client, arguments)) {
                        failures.fetch_add(1);
                        return;
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    if (failures.load() != 0) {
        state.SkipWithError("a call failed");
    }
    state.SetItemsProcessed(state.iterations() * kConcurrentClients * kCallsPerClient);
}
BENCHMARK(BM_Xpc16ConcurrentConnections)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Bare16ConcurrentConnections(benchmark::State& state) {
    bare_server_t server;
    std::vector<platform::owned_fd_t> clients;
    for (int i = 0; i < kConcurrentClients; ++i) {
        clients.push_back(server.connect());
    }
    const auto message = bare_message_like(payload(64));
    std::atomic<int> failures{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (auto& client : clients) {
            threads.emplace_back([&] {
                std::vector<std::uint8_t> buffer(xpc::kMaxMessageSize + 1);
                for (int call = 0; call < kCallsPerClient; ++call) {
                    if (!bare_round_trip(client.get(), message, buffer)) {
                        failures.fetch_add(1);
                        return;
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    if (failures.load() != 0) {
        state.SkipWithError("a ping-pong failed");
    }
    state.SetItemsProcessed(state.iterations() * kConcurrentClients * kCallsPerClient);
}
BENCHMARK(BM_Bare16ConcurrentConnections)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
