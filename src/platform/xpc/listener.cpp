#include "platform/xpc/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <exception>

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

}  // namespace

std::string service_socket_path(std::string_view service_name) {
    return system_path("/var/run/" + std::string(service_name));
}

std::unique_ptr<listener_t> listener_t::create_for_service(std::string_view service_name,
                                                           std::string* reason) {
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
        return create_at_path(path, reason);
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
    return std::unique_ptr<listener_t>(new listener_t(std::move(owned), path, false));
}

std::unique_ptr<listener_t> listener_t::create_at_path(const std::string& socket_path, std::string* reason) {
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
    return std::unique_ptr<listener_t>(new listener_t(std::move(socket), socket_path, true));
}

listener_t::listener_t(owned_fd_t socket, std::string path, bool owns_path)
    : socket_(std::move(socket)),
      stop_event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      path_(std::move(path)),
      owns_path_(owns_path),
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

void listener_t::accept_loop() {
    std::array<pollfd, 2> waiting{{{stop_event_.get(), POLLIN, 0}, {socket_.get(), POLLIN, 0}}};
    bool pause = false;
    while (true) {
        waiting[0].revents = waiting[1].revents = 0;
        // While pausing only the stop event is watched.
        const int ready = pause ? poll(waiting.data(), 1, 100) : poll(waiting.data(), 2, -1);
        pause = false;
        if (waiting[0].revents != 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            report(errno_text("waiting for connections"));
            return;
        }
        if (ready <= 0 || waiting[1].revents == 0) {
            continue;
        }
        owned_fd_t client(accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: wait a little instead of spinning on a connection we cannot take.
                report(errno_text("accept"));
                pause = true;
            }
            continue;
        }
        admit(std::move(client));
    }
}

void listener_t::admit(owned_fd_t client) {
    // A connection queued before the listening socket had SO_PASSCRED (socket activation hands it over
    // with clients already waiting) did not inherit it.
    if (!pass_credentials(client.get())) {
        report(errno_text("connection closed unexamined: SO_PASSCRED"));
        return;
    }
    std::string reason;
    auto peer = peer_process_t::from_socket(client.get(), &reason);
    if (!peer) {
        report("connection closed unexamined: " + reason);
        return;
    }
    auto connection = std::make_shared<connection_t>(connection_t::construction_key_t{}, std::move(client),
                                                     std::move(*peer), threads_);
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
