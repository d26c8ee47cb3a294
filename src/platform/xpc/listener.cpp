#include "platform/xpc/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>

#include "platform/service_accounts.h"
#include "platform/system_root.h"
#include "platform/xpc/peer_process.h"
#include "platform/xpc/thread_registry.h"

namespace platform::xpc {
namespace {

template <typename T>
std::unique_ptr<T> fail(std::string* reason, std::string text) {
    if (reason != nullptr) {
        *reason = std::move(text);
    }
    return nullptr;
}

std::string errno_text(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Every accepted socket inherits SO_PASSCRED, so even a datagram sent before accept carries credentials.
[[nodiscard]] bool pass_credentials(int socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0;
}

// While the process is short of memory or descriptors, accept is tried again after this pause.
constexpr int kAcceptPauseMilliseconds = 100;
// Connections are taken off the queue in rounds of at most this many, with one examination after each
// round, so that a steady stream of connections cannot keep the listener from its other work.
constexpr int kConnectionsTakenAtOnce = 64;

std::uint64_t open_files_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return limit.rlim_cur;
}

// The peer has closed its end, or can no longer send: it will never echo a hello.
bool peer_hung_up(int socket) {
    pollfd peer{socket, POLLRDHUP, 0};
    return poll(&peer, 1, 0) == 1 && (peer.revents & (POLLHUP | POLLRDHUP)) != 0;
}

owned_fd_t open_spare_descriptor() {
    return owned_fd_t(open("/dev/null", O_RDONLY | O_NOCTTY | O_CLOEXEC));
}

}  // namespace

std::string service_socket_path(std::string_view service_name) {
    return system_path("/var/run/" + std::string(service_name));
}

std::unique_ptr<listener_t> listener_t::create_for_service(std::string_view service_name, std::string* reason,
                                                           const connection_limits_t& limits) {
    if (service_name.empty() || service_name == "." || service_name == ".." ||
        service_name.find('/') != std::string_view::npos) {
        return fail<listener_t>(reason, "invalid service name: " + std::string(service_name));
    }
    const std::string path = service_socket_path(service_name);
    const int handed_over = sd_listen_fds(1);
    if (handed_over < 0) {
        errno = -handed_over;
        return fail<listener_t>(reason, errno_text("socket activation"));
    }
    if (handed_over == 0) {
        return create_at_path(path, reason, limits);
    }
    const int socket = SD_LISTEN_FDS_START;
    owned_fd_t owned(socket);
    if (handed_over != 1 || sd_is_socket_unix(socket, SOCK_SEQPACKET, 1, nullptr, 0) <= 0) {
        return fail<listener_t>(reason,
                                "socket activation must hand over one listening SOCK_SEQPACKET socket");
    }
    if (fcntl(socket, F_SETFD, FD_CLOEXEC) != 0 || fcntl(socket, F_SETFL, O_NONBLOCK) != 0 ||
        !pass_credentials(socket)) {
        return fail<listener_t>(reason, errno_text("handed-over socket"));
    }
    return std::unique_ptr<listener_t>(new listener_t(std::move(owned), path, false, limits));
}

std::unique_ptr<listener_t> listener_t::create_at_path(const std::string& socket_path, std::string* reason,
                                                       const connection_limits_t& limits) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path) {
        return fail<listener_t>(reason, "socket path too long: " + socket_path);
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    owned_fd_t socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid() || !pass_credentials(socket.get())) {
        return fail<listener_t>(reason, errno_text("socket"));
    }
    // A socket left by an earlier run is replaced; anything else at the path is left alone.
    struct stat existing {};
    if (lstat(socket_path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            return fail<listener_t>(reason, "not a socket: " + socket_path);
        }
        unlink(socket_path.c_str());
    }
    if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail<listener_t>(reason, errno_text("bind " + socket_path));
    }
    // Every local user may connect; admission decides who is served.
    if (chmod(socket_path.c_str(), 0666) != 0 || listen(socket.get(), SOMAXCONN) != 0) {
        const std::string text = errno_text("listen " + socket_path);
        unlink(socket_path.c_str());
        return fail<listener_t>(reason, text);
    }
    return std::unique_ptr<listener_t>(new listener_t(std::move(socket), socket_path, true, limits));
}

listener_t::listener_t(owned_fd_t socket, std::string path, bool owns_path, const connection_limits_t& limits)
    : socket_(std::move(socket)),
      stop_event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      spare_descriptor_(open_spare_descriptor()),
      path_(std::move(path)),
      owns_path_(owns_path),
      limits_(fit_to_descriptor_limit(limits, open_files_limit())),
      budget_(std::make_shared<connection_budget_t>(limits_)),
      refusals_(limits_.refusal_record_interval),
      accept_failures_(limits_.refusal_record_interval),
      threads_(std::make_shared<thread_registry_t>()) {}

listener_t::~listener_t() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        static_cast<void>(write(stop_event_.get(), &one, sizeof one));
        thread_.join();
    }
    threads_->shutdown();
    if (owns_path_) {
        unlink(path_.c_str());
    }
}

void listener_t::set_delegate(delegate_t delegate) {
    delegate_ = std::move(delegate);
}

void listener_t::set_error_handler(error_handler_t handler) {
    error_handler_ = std::move(handler);
}

void listener_t::resume() {
    if (!thread_.joinable() && stop_event_.valid()) {
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "qv-listener");
            accept_loop();
        });
    }
}

void listener_t::report(std::string_view message) const {
    if (error_handler_) {
        error_handler_(message);
    }
}

std::optional<std::string> listener_t::rate_limited_t::take_due(std::string_view what, bool now_or_never) {
    const auto now = std::chrono::steady_clock::now();
    if (count_ == 0 || (!now_or_never && last_message_ && now - *last_message_ < interval_)) {
        return std::nullopt;
    }
    std::string message = std::to_string(count_) + " " + std::string(what) +
                          " since the previous such record, the last because " + last_reason_;
    count_ = 0;
    last_reason_.clear();
    last_message_ = now;
    return message;
}

int listener_t::rate_limited_t::wait_milliseconds() const {
    if (count_ == 0 || !last_message_) {
        return count_ == 0 ? -1 : 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*last_message_ + interval_ -
                                                                   std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
}

void listener_t::report_due(bool stopping) {
    if (auto message = refusals_.take_due("connections refused over the limits", stopping)) {
        report(*message);
    }
    if (auto message = accept_failures_.take_due("failures to accept a connection", stopping)) {
        report(*message);
    }
}

void listener_t::accept_loop() {
    std::array<pollfd, 2> waiting{{{stop_event_.get(), POLLIN, 0}, {socket_.get(), POLLIN, 0}}};
    bool pause = false;
    while (true) {
        waiting[0].revents = waiting[1].revents = 0;
        // While pausing only the stop event is watched. Otherwise the wait ends when a held-back message
        // about refusals is due, and does not wait at all while connections wait for their examination.
        const int refusals_due = refusals_.wait_milliseconds();
        const int failures_due = accept_failures_.wait_milliseconds();
        const int due = !waiting_.empty()  ? 0
                        : refusals_due < 0 ? failures_due
                        : failures_due < 0 ? refusals_due
                                           : std::min(refusals_due, failures_due);
        const int ready =
            pause ? poll(waiting.data(), 1, kAcceptPauseMilliseconds) : poll(waiting.data(), 2, due);
        pause = false;
        if (waiting[0].revents != 0) {
            report_due(true);
            return;
        }
        if (ready < 0 && errno != EINTR) {
            report(errno_text("waiting for connections"));
            return;
        }
        if (ready > 0 && waiting[1].revents != 0) {
            pause = !take_connections();
        }
        if (auto next = next_to_examine()) {
            examine(std::move(*next));
        }
        report_due();
    }
}

bool listener_t::take_connections() {
    for (int taken = 0; taken < kConnectionsTakenAtOnce; ++taken) {
        owned_fd_t client(accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            const int error = errno;
            if ((error == EMFILE || error == ENFILE) && drop_waiting_connection()) {
                refusals_.note("no descriptor was left for it");
                continue;
            }
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                // Short of memory: wait a little instead of spinning on a connection we cannot take.
                errno = error;
                accept_failures_.note(errno_text("accept"));
                return false;
            }
            return true;
        }
        // What the kernel recorded at connect decides first, then the caps: until a connection has its
        // slot, nothing is read about its peer. A user's peer outside the client group may run code that its
        // starter wrote into it, so it is refused like unsigned code, without a word; so is a peer that has
        // already hung up, which could never be served.
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
            !kernel_vouches_for_peer(credentials.uid, credentials.gid) || peer_hung_up(client.get())) {
            continue;
        }
        std::string refusal;
        auto slot = budget_->acquire(credentials.uid, &refusal);
        if (!slot && drop_departed_connections()) {
            slot = budget_->acquire(credentials.uid, &refusal);
        }
        if (!slot) {
            refusals_.note(std::move(refusal));
            continue;
        }
        waiting_.push_back({std::move(client), credentials.uid, std::move(*slot)});
    }
    return true;
}

std::optional<listener_t::waiting_connection_t> listener_t::next_to_examine() {
    if (waiting_.empty()) {
        return std::nullopt;
    }
    // Root goes first: whatever others have queued, root's own clients are not kept waiting behind them.
    auto next = std::find_if(waiting_.begin(), waiting_.end(), [](const auto& c) { return c.user == 0; });
    if (next == waiting_.end()) {
        next = waiting_.begin();
    }
    waiting_connection_t taken = std::move(*next);
    waiting_.erase(next);
    return taken;
}

bool listener_t::drop_departed_connections() {
    return std::erase_if(waiting_,
                         [](const waiting_connection_t& c) { return peer_hung_up(c.socket.get()); }) > 0;
}

bool listener_t::drop_waiting_connection() {
    if (!spare_descriptor_.valid()) {
        return false;
    }
    spare_descriptor_.reset();
    owned_fd_t dropped(accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const bool taken = dropped.valid();
    dropped.reset();
    spare_descriptor_ = open_spare_descriptor();
    return taken;
}

void listener_t::examine(waiting_connection_t waiting) {
    owned_fd_t client = std::move(waiting.socket);
    // A connection queued before the listening socket had SO_PASSCRED (socket activation hands it over
    // with clients already waiting) did not inherit it.
    if (!pass_credentials(client.get())) {
        report(errno_text("connection closed unexamined: SO_PASSCRED"));
        return;
    }
    // A peer that has hung up or gone, or whose process cannot be read, is refused without a word: anyone
    // can make such peers by the thousand, and a record for each would push the true ones out of the trace.
    if (peer_hung_up(client.get())) {
        return;
    }
    auto peer = peer_process_t::from_socket(client.get());
    if (!peer) {
        return;
    }
    auto connection = std::make_shared<connection_t>(connection_t::construction_key_t{},
                                                     std::move(waiting.slot), std::move(client),
                                                     std::move(*peer), threads_, limits_.hello_echo_timeout);
    bool admitted = false;
    try {
        admitted = delegate_ && delegate_(connection);
    } catch (const std::exception& error) {
        report(std::string("delegate failed: ") + error.what());
    } catch (...) {
        report("delegate failed");
    }
    if (!admitted) {
        connection->invalidate();
    }
}

}  // namespace platform::xpc
