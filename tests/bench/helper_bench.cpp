// The helper serving get_version_with_reply: through the client library, next to a bare SOCK_SEQPACKET
// ping-pong of the same sizes; a request that re-checks the peer before it runs; sixteen connections at once
// next to a bare server with a thread per connection; and the helper's resident memory when idle with one
// connection.
//
// The helper admits only signed application code, so the benchmark signs a copy of itself in a sandbox
// root and runs that copy as the client.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "fixtures/helper_process.h"
#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"
#include "platform/system_root.h"
#include "platform/xpc/wire.h"

namespace {

namespace fs = std::filesystem;
namespace xpc = platform::xpc;
using namespace std::chrono_literals;

std::unique_ptr<fixtures::sandbox_t> sandbox;
std::unique_ptr<fixtures::helper_process_t> helper;

std::unique_ptr<client::helper_client_t> connect_client() {
    std::string reason;
    auto connection = client::helper_client_t::connect(helper->socket_path(), 5s, &reason);
    if (!connection) {
        std::fprintf(stderr, "helper_bench: not admitted: %s\n", reason.c_str());
        std::abort();
    }
    return connection;
}

// With one client, a round trip is two hand-overs between threads. On an otherwise idle machine each would
// mostly measure how long an idle core takes to wake up, which varies from run to run far more than the
// work does; so one-client runs put the client, the helper (or the bare server) and every thread they start
// on the core the client runs on, and give back the whole machine when they end.
class one_core_t {
public:
    explicit one_core_t(const benchmark::State& state) : active_(state.threads() == 1) {
        if (!active_ || sched_getaffinity(0, sizeof everywhere_, &everywhere_) != 0) {
            active_ = false;
            return;
        }
        cpu_set_t here;
        CPU_ZERO(&here);
        CPU_SET(sched_getcpu(), &here);
        set_for_all(here);
    }
    ~one_core_t() {
        if (active_) {
            set_for_all(everywhere_);
        }
    }
    one_core_t(const one_core_t&) = delete;
    one_core_t& operator=(const one_core_t&) = delete;

private:
    static void set_for_all(const cpu_set_t& cpus) {
        sched_setaffinity(0, sizeof cpus, &cpus);
        if (!helper) {
            return;
        }
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(helper->pid()) + "/task")) {
            sched_setaffinity(std::stoi(task.path().filename()), sizeof cpus, &cpus);
        }
    }

    bool active_;
    cpu_set_t everywhere_{};
};

// The sizes of a version request and its reply.
const std::size_t kRequestSize = xpc::encode_request(1, "get_version_with_reply:", {}).size();
const std::size_t kReplySize = xpc::encode_reply(1, std::optional<std::string>("2.26")).size();

// A thread that answers every datagram with one of the reply's size, until its peer closes.
std::thread bare_echo(int socket) {
    return std::thread([socket] {
        std::vector<std::uint8_t> buffer(xpc::kMaxMessageSize);
        const std::vector<std::uint8_t> reply(kReplySize, 0x2a);
        while (recv(socket, buffer.data(), buffer.size(), 0) > 0) {
            if (send(socket, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
        }
        close(socket);
    });
}

void bare_round_trips(benchmark::State& state) {
    const one_core_t core(state);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread server = bare_echo(pair[1]);
    const std::vector<std::uint8_t> request(kRequestSize, 0x51);
    std::vector<std::uint8_t> buffer(xpc::kMaxMessageSize);
    for (auto _ : state) {
        send(pair[0], request.data(), request.size(), MSG_NOSIGNAL);
        benchmark::DoNotOptimize(recv(pair[0], buffer.data(), buffer.size(), 0));
    }
    close(pair[0]);
    server.join();
    state.SetItemsProcessed(state.iterations());
}

void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
    bare_round_trips(state);
}
BENCHMARK(BM_BareSeqpacketRoundTrip)->UseRealTime()->Threads(1)->Threads(16);

void BM_HelperVersionRoundTrip(benchmark::State& state) {
    const one_core_t core(state);
    const auto connection = connect_client();
    for (auto _ : state) {
        const auto version = connection->get_version();
        if (!version.ok()) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HelperVersionRoundTrip)->UseRealTime()->Threads(1)->Threads(16);

// A request that can change something, but here does nothing: before it the helper checks the peer for a
// tracer again, which get_version skips.
void BM_HelperCheckedRoundTrip(benchmark::State& state) {
    const one_core_t core(state);
    const auto connection = connect_client();
    for (auto _ : state) {
        const auto reply = connection->set_tray_enabled(std::nullopt, true, std::nullopt);
        if (!reply.ok()) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HelperCheckedRoundTrip)->UseRealTime()->Threads(1);

void BM_HelperIdleResidentMemory(benchmark::State& state) {
    const auto connection = connect_client();
    (void)connection->get_version();
    std::this_thread::sleep_for(200ms);
    // The whole resident set, and the part of it that is the helper's own: the rest is pages of shared
    // libraries that other processes map too.
    std::size_t resident_kib = 0;
    std::size_t anonymous_kib = 0;
    for (auto _ : state) {
        std::ifstream status("/proc/" + std::to_string(helper->pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) {
                resident_kib = std::stoul(line.substr(6));
            } else if (line.rfind("RssAnon:", 0) == 0) {
                anonymous_kib = std::stoul(line.substr(8));
            }
        }
    }
    state.counters["rss_MiB"] = static_cast<double>(resident_kib) / 1024.0;
    state.counters["anon_MiB"] = static_cast<double>(anonymous_kib) / 1024.0;
}
BENCHMARK(BM_HelperIdleResidentMemory)->Iterations(1);

// Runs the benchmarks as a signed client of a helper in a fresh sandbox.
int run_signed(int argc, char** argv) {
    platform::set_system_root(std::getenv("QV_BENCH_ROOT"));
    helper = std::make_unique<fixtures::helper_process_t>(*sandbox);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    helper.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path self = fs::read_symlink("/proc/self/exe");
    setenv("QV_TEST_BIN_DIR", self.parent_path().c_str(), 0);
    if (std::getenv("QV_BENCH_ROOT") != nullptr) {
        sandbox = std::make_unique<fixtures::sandbox_t>(std::getenv("QV_BENCH_ROOT"));
        return run_signed(argc, argv);
    }
    // Sign a copy of this program as the application and run it inside a sandbox.
    fixtures::sandbox_t root;
    const fixtures::test_pki_t pki;
    pki.trust_in_system_root();
    const fs::path copy = root.path("/Applications/Quorvix.app/Contents/MacOS/helper_bench");
    fs::create_directories(copy.parent_path());
    pki.sign_copy(self, copy, fixtures::application_identifier());
    std::vector<std::string> arguments = {copy.string()};
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    std::string command;
    for (const auto& argument : arguments) {
        command += "'" + argument + "' ";
    }
    setenv("QV_BENCH_ROOT", root.root().c_str(), 1);
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
