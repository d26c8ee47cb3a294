// One client of the reliability suite, signed like the application. It sends a seeded mix of requests for
// its own namespace and checks that every reply answers its own request; some clients also send malformed
// messages or hang up in the middle of a request, and reconnect.
//   qv_soak_client SOCKET run SEED COUNT NAMESPACE BUNDLE SYSCONFIG KINDS [malformed] [disconnect]
//   qv_soak_client SOCKET version
// KINDS are the letters of the requests it may send: q queries, s start, x quit, a autostart switch,
// f configuration permissions, i install, u uninstall. A run prints one line "soak-client key=value ...".
// Exit status: 0 the run went through (its figures say how well), 2 usage, 3 no connection.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "core/request_table.h"
#include "platform/xpc/wire.h"

namespace {

using namespace std::chrono_literals;
namespace xpc = platform::xpc;
using core::request_id_t;

constexpr auto kReplyTimeout = 90s;
constexpr auto kCloseTimeout = 10s;
constexpr std::string_view kHelperVersion = "2.26";

xpc::value_t text(std::string value) {
    return std::optional<std::string>(std::move(value));
}
xpc::value_t data(std::vector<std::uint8_t> value) {
    return std::optional<std::vector<std::uint8_t>>(std::move(value));
}

// What a client was asked to do.
struct plan_t {
    std::string socket;
    std::uint64_t seed = 0;
    int count = 0;
    std::string qv_namespace;
    std::string bundle;
    std::string sysconfig;
    std::string kinds;
    bool malformed = false;
    bool disconnect = false;
};

// A request as the client sends it: its table entry, its arguments and the name it is counted under.
struct request_t {
    request_id_t id;
    std::vector<xpc::value_t> arguments;
    std::string name;
};

enum class exchange_t { answered, mismatched, unanswered };

// Waits for something to read or for the peer to hang up; false on time-out.
bool wait_readable(int descriptor, std::chrono::milliseconds timeout) {
    pollfd entry{descriptor, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = poll(&entry, 1, static_cast<int>(std::max(left.count(), std::int64_t{0})));
        if (ready >= 0 || errno != EINTR) {
            return ready > 0;
        }
    }
}

class soak_client_t {
public:
    explicit soak_client_t(plan_t plan) : plan_(std::move(plan)), random_(plan_.seed) {}

    [[nodiscard]] bool connect() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            client_ = client::helper_client_t::connect(plan_.socket, 30s);
            if (client_) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    void run() {
        const std::vector<std::uint8_t> authorization = client::own_authorization_form();
        for (int done = 0; done < plan_.count;) {
            if (plan_.malformed && chance(0.05)) {
                send_malformed();
                continue;
            }
            request_t request = next_request(authorization);
            if (plan_.disconnect && chance(0.05)) {
                hang_up_during(request);
                continue;
            }
            ++counts_[request.name];
            ++counts_["requests"];
            switch (exchange(request)) {
                case exchange_t::answered:
                    ++counts_["answered"];
                    break;
                case exchange_t::mismatched:
                    ++counts_["mismatched"];
                    break;
                case exchange_t::unanswered:
                    ++counts_["unanswered"];
                    // The connection is unusable; go on with a new one, as the application would.
                    reconnect();
                    break;
            }
            ++done;
        }
    }

    void print_summary() const {
        std::printf("soak-client namespace=%s", plan_.qv_namespace.c_str());
        for (const auto& [key, value] : counts_) {
            std::printf(" %s=%u", key.c_str(), value);
        }
        std::printf("\n");
    }

private:
    [[nodiscard]] bool chance(double probability) {
        return std::bernoulli_distribution(probability)(random_);
    }
    [[nodiscard]] std::size_t pick(std::size_t size) {
        return std::uniform_int_distribution<std::size_t>(0, size - 1)(random_);
    }

    // Weighted towards queries, as the application asks far more than it changes.
    request_t next_request(const std::vector<std::uint8_t>& authorization) {
        static constexpr std::pair<char, int> kWeights[] = {{'q', 40}, {'s', 10}, {'x', 10}, {'a', 10},
                                                            {'f', 10}, {'i', 10}, {'u', 6}};
        std::vector<char> kinds;
        std::vector<int> weights;
        for (const auto& [kind, weight] : kWeights) {
            if (plan_.kinds.find(kind) != std::string::npos) {
                kinds.push_back(kind);
                weights.push_back(weight);
            }
        }
        const char kind =
            kinds[std::discrete_distribution<std::size_t>(weights.begin(), weights.end())(random_)];
        const std::string& space = plan_.qv_namespace;
        switch (kind) {
            case 's':
                return {request_id_t::start_service, {text(space)}, "start-service"};
            case 'x':
                return {request_id_t::quit_service, {text(space)}, "quit-service"};
            case 'a':
                return {request_id_t::set_autostart_enabled, {chance(0.5), text(space)}, "set-autostart"};
            case 'f':
                return {request_id_t::fix_config_permissions, {text(space)}, "fix-config-permissions"};
            case 'i':
                return {request_id_t::install,
                        {data(authorization), text(plan_.bundle), text(plan_.sysconfig), text(space),
                         text("root"), static_cast<signed char>(0)},
                        "install"};
            case 'u':
                return {request_id_t::uninstall,
                        {data(authorization), text(installed_bundle()), text(plan_.sysconfig), text(space),
                         text("root"), static_cast<signed char>(0)},
                        "uninstall"};
            default:
                break;
        }
        switch (pick(5)) {
            case 0:
                return {request_id_t::is_service_installed, {text(space)}, "is-installed"};
            case 1:
                return {request_id_t::is_service_disabled, {text(space)}, "is-disabled"};
            case 2:
                return {request_id_t::is_service_run_at_load, {text(space)}, "is-run-at-load"};
            case 3:
                return {request_id_t::is_autostart_enabled, {text(space)}, "is-autostart-enabled"};
            default:
                return {request_id_t::get_version, {}, "version"};
        }
    }

    // The copy under /Applications that an install of this client's bundle makes.
    [[nodiscard]] std::string installed_bundle() const {
        const std::size_t volumes = plan_.bundle.find("/Volumes/");
        const std::size_t name = plan_.bundle.rfind('/');
        return plan_.bundle.substr(0, volumes) + "/Applications" + plan_.bundle.substr(name);
    }

    // Sends the request itself rather than through call(), which passes over replies of other calls: here
    // every datagram that comes back must be the reply to this call, of the request's reply type.
    exchange_t exchange(const request_t& request) {
        const core::request_spec_t& row = core::request_spec(request.id);
        const std::uint64_t call_id = next_call_id_++;
        auto& connection = client_->connection();
        if (!connection.send_datagram(xpc::encode_request(call_id, row.selector, request.arguments)) ||
            !wait_readable(connection.native_handle(), kReplyTimeout)) {
            return exchange_t::unanswered;
        }
        const auto datagram = connection.receive_datagram(0ms);
        if (!datagram) {
            return exchange_t::unanswered;
        }
        const auto header = xpc::decode_header(*datagram);
        const auto reply = xpc::decode_reply(*datagram, row.reply_type);
        if (!header || header->kind != xpc::message_kind_t::reply || header->call_id != call_id || !reply) {
            return exchange_t::mismatched;
        }
        if (request.id == request_id_t::get_version) {
            const auto* version = std::get_if<std::optional<std::string>>(&reply->value);
            return version != nullptr && *version == kHelperVersion ? exchange_t::answered
                                                                    : exchange_t::mismatched;
        }
        if (const bool* answer = std::get_if<bool>(&reply->value)) {
            ++counts_[*answer ? "yes" : "no"];
        }
        return exchange_t::answered;
    }

    // Garbage, or requests that do not match the request table: the helper must close the connection
    // without answering.
    void send_malformed() {
        ++counts_["malformed"];
        xpc::bytes_t message;
        switch (pick(5)) {
            case 0: {
                message.resize(1 + pick(64));
                for (auto& byte : message) {
                    byte = static_cast<std::uint8_t>(pick(256));
                }
                break;
            }
            case 1: {
                const std::vector<xpc::value_t> arguments = {std::int32_t{7}};
                message = xpc::encode_request(
                    next_call_id_++, core::selector_of(request_id_t::is_service_installed), arguments);
                break;
            }
            case 2: {
                const std::vector<xpc::value_t> arguments = {true};
                message = xpc::encode_request(
                    next_call_id_++, core::selector_of(request_id_t::set_autostart_enabled), arguments);
                break;
            }
            case 3: {
                const std::vector<xpc::value_t> arguments = {text(std::string("soak\0space", 10))};
                message = xpc::encode_request(next_call_id_++, core::selector_of(request_id_t::quit_service),
                                              arguments);
                break;
            }
            default: {
                message = xpc::encode_request(next_call_id_++, "remove_everything:with_reply:", {});
                message.push_back(0);
                break;
            }
        }
        auto& connection = client_->connection();
        if (connection.send_datagram(message)) {
            if (!wait_readable(connection.native_handle(), kCloseTimeout)) {
                ++counts_["malformed_unclosed"];
            } else if (connection.receive_datagram(0ms)) {
                ++counts_["malformed_answered"];
            }
        }
        reconnect();
    }

    void hang_up_during(const request_t& request) {
        ++counts_["disconnects"];
        const core::request_spec_t& row = core::request_spec(request.id);
        static_cast<void>(client_->connection().send_datagram(
            xpc::encode_request(next_call_id_++, row.selector, request.arguments)));
        client_->connection().close();
        reconnect();
    }

    void reconnect() {
        client_.reset();
        if (!connect()) {
            ++counts_["reconnect_failures"];
            std::this_thread::sleep_for(100ms);
            static_cast<void>(connect());
        }
    }

    plan_t plan_;
    std::mt19937_64 random_;
    std::unique_ptr<client::helper_client_t> client_;
    // Call ids go on across connections, so a reply from an earlier connection cannot pass for this one's.
    std::uint64_t next_call_id_ = 1;
    std::map<std::string, unsigned> counts_{{"mismatched", 0},
                                            {"unanswered", 0},
                                            {"malformed_unclosed", 0},
                                            {"malformed_answered", 0},
                                            {"reconnect_failures", 0}};
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[1] == "version") {
        auto client = client::helper_client_t::connect(arguments[0], 30s);
        if (!client) {
            return 3;
        }
        const auto version = client->get_version();
        std::printf("%s\n", version.ok() && *version.value ? version.value->value().c_str() : "(none)");
        return 0;
    }
    if (arguments.size() < 8 || arguments[1] != "run") {
        return 2;
    }
    plan_t plan;
    plan.socket = arguments[0];
    plan.seed = std::stoull(arguments[2]);
    plan.count = std::stoi(arguments[3]);
    plan.qv_namespace = arguments[4];
    plan.bundle = arguments[5];
    plan.sysconfig = arguments[6];
    plan.kinds = arguments[7];
    for (std::size_t i = 8; i < arguments.size(); ++i) {
        plan.malformed = plan.malformed || arguments[i] == "malformed";
        plan.disconnect = plan.disconnect || arguments[i] == "disconnect";
    }
    soak_client_t client(std::move(plan));
    if (!client.connect()) {
        return 3;
    }
    client.run();
    client.print_summary();
    return 0;
}
