#include "platform/xpc/connection.h"

#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <exception>

#include "platform/xpc/datagram_socket.h"
#include "platform/xpc/thread_registry.h"

namespace platform::xpc {
namespace {

thread_local std::shared_ptr<connection_t> t_current_connection;

// Makes a connection current for the length of one request handler.
class current_connection_scope_t {
public:
    explicit current_connection_scope_t(std::shared_ptr<connection_t> connection) {
        t_current_connection = std::move(connection);
    }
    ~current_connection_scope_t() { t_current_connection.reset(); }
    current_connection_scope_t(const current_connection_scope_t&) = delete;
    current_connection_scope_t& operator=(const current_connection_scope_t&) = delete;
};

[[nodiscard]] bool fill_random(hello_nonce_t& nonce) {
    std::size_t filled = 0;
    while (filled < nonce.size()) {
        const ssize_t got = getrandom(nonce.data() + filled, nonce.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

std::shared_ptr<connection_t> current_connection() {
    return t_current_connection;
}

struct reply_t::state_t {
    state_t(std::weak_ptr<connection_t> to, std::uint64_t id, char type)
        : connection(std::move(to)), call_id(id), reply_type(type) {}

    std::weak_ptr<connection_t> connection;
    std::uint64_t call_id;
    char reply_type;
    std::atomic<bool> used{false};
};

reply_t::reply_t(std::weak_ptr<connection_t> connection, std::uint64_t call_id, char reply_type)
    : state_(std::make_shared<state_t>(std::move(connection), call_id, reply_type)) {}

void reply_t::operator()(value_t value) const {
    if (state_->used.exchange(true) || type_code(value) != state_->reply_type) {
        return;
    }
    if (auto connection = state_->connection.lock()) {
        // A peer that has gone away simply does not get its reply.
        static_cast<void>(connection->send_reply(state_->call_id, value));
    }
}

connection_t::connection_t(construction_key_t, connection_budget_t::slot_t slot, owned_fd_t socket,
                           peer_process_t peer, std::shared_ptr<thread_registry_t> threads,
                           std::chrono::milliseconds hello_echo_timeout)
    : slot_(std::move(slot)),
      socket_(std::move(socket)),
      peer_(std::move(peer)),
      threads_(std::move(threads)),
      hello_echo_timeout_(hello_echo_timeout),
      handlers_(std::make_shared<handlers_t>()) {}

connection_t::~connection_t() = default;

void connection_t::update_handlers(const std::function<void(handlers_t&)>& change) {
    // Declared before the lock so that the old handlers are released after it.
    std::shared_ptr<const handlers_t> previous;
    std::lock_guard lock(handlers_mutex_);
    if (finished_.load()) {
        return;
    }
    auto next = std::make_shared<handlers_t>(*handlers_);
    change(*next);
    previous = std::exchange(handlers_, std::move(next));
}

std::shared_ptr<const connection_t::handlers_t> connection_t::handlers() const {
    std::lock_guard lock(handlers_mutex_);
    return handlers_;
}

void connection_t::set_exported_interface(interface_t exported) {
    update_handlers([&](handlers_t& h) { h.exported = exported; });
}

void connection_t::set_exported_object(exported_object_t object) {
    update_handlers([&](handlers_t& h) { h.object = std::move(object); });
}

void connection_t::set_invalidation_handler(handler_t handler) {
    update_handlers([&](handlers_t& h) { h.invalidation = std::move(handler); });
}

void connection_t::set_interruption_handler(handler_t handler) {
    update_handlers([&](handlers_t& h) { h.interruption = std::move(handler); });
}

void connection_t::set_protocol_error_handler(protocol_error_handler_t handler) {
    update_handlers([&](handlers_t& h) { h.protocol_error = std::move(handler); });
}

void connection_t::resume() {
    if (resumed_.exchange(true)) {
        return;
    }
    if (invalidated_.load()) {
        finish();
        return;
    }
    // The hello goes out from the caller (the listener's thread), so it must never block there; the
    // peer's queue is empty on a fresh connection. A failed hello ends the connection on its thread.
    if (!fill_random(nonce_) || !send_datagram(socket_.get(), encode_hello(nonce_), true)) {
        invalidated_.store(true);
        shutdown(socket_.get(), SHUT_RDWR);
    }
    if (!threads_->spawn(shared_from_this(), [self = shared_from_this()] { self->serve(); })) {
        invalidate();
        finish();
    }
}

void connection_t::invalidate() {
    if (invalidated_.exchange(true)) {
        return;
    }
    // Wakes the connection's thread (and tells the peer) without closing a descriptor it still reads.
    shutdown(socket_.get(), SHUT_RDWR);
    if (!resumed_.load()) {
        finish();
    }
}

bool connection_t::send_reply(std::uint64_t call_id, const value_t& value) {
    if (invalidated_.load()) {
        return false;
    }
    const bytes_t message = encode_reply(call_id, value);
    std::lock_guard lock(send_mutex_);
    return send_datagram(socket_.get(), message);
}

std::optional<std::string> connection_t::check_sender(const std::optional<ucred>& sender) const {
    if (!sender) {
        return "datagram without sender credentials";
    }
    if (sender->pid != peer_.pid()) {
        return "datagram from process " + std::to_string(sender->pid) + ", admitted process " +
               std::to_string(peer_.pid());
    }
    if (!peer_.runs_admitted_executable()) {
        return "admitted process " + std::to_string(peer_.pid()) + " ended or changed its executable";
    }
    return std::nullopt;
}

void connection_t::refuse(std::string_view reason) {
    if (invalidated_.load()) {
        return;
    }
    const auto current = handlers();
    if (current->protocol_error) {
        current->protocol_error(reason);
    }
    invalidate();
}

bool connection_t::receive_hello_echo() {
    datagram_t datagram;
    // Each connection holds a thread and a place under the caps: a peer that never echoes must not keep
    // them for good.
    const receive_status_t status = receive_datagram(socket_.get(), datagram, hello_echo_timeout_);
    if (status == receive_status_t::too_large) {
        refuse("first message larger than 65536 bytes");
    }
    if (status == receive_status_t::timed_out) {
        refuse("no hello echo within " + std::to_string(hello_echo_timeout_.count()) + " ms");
    }
    if (status != receive_status_t::message) {
        return false;
    }
    if (auto problem = check_sender(datagram.sender)) {
        refuse(*problem);
        return false;
    }
    const auto echo = decode_hello_echo(datagram.bytes);
    if (!echo) {
        refuse("first message is not the hello echo: " + std::string(echo.error()));
        return false;
    }
    if (echo.value() != nonce_) {
        refuse("hello echo does not match the hello");
        return false;
    }
    return true;
}

void connection_t::run_request(const request_t& request, const handlers_t& current) {
    if (!current.object) {
        refuse("no exported object for the request");
        return;
    }
    current_connection_scope_t scope(shared_from_this());
    try {
        current.object(request, reply_t(weak_from_this(), request.call_id, request.method->reply_type));
    } catch (const std::exception& error) {
        refuse(std::string("request handler failed: ") + error.what());
    } catch (...) {
        refuse("request handler failed");
    }
}

void connection_t::serve() {
    if (!invalidated_.load() && receive_hello_echo()) {
        datagram_t datagram;
        while (!invalidated_.load()) {
            const receive_status_t status = receive_datagram(socket_.get(), datagram, std::nullopt);
            if (status == receive_status_t::too_large) {
                refuse("message larger than 65536 bytes");
            }
            if (status != receive_status_t::message) {
                break;
            }
            if (auto problem = check_sender(datagram.sender)) {
                refuse(*problem);
                break;
            }
            const auto current = handlers();
            const auto request = decode_request(datagram.bytes, current->exported);
            if (!request) {
                refuse(request.error());
                break;
            }
            run_request(request.value(), *current);
        }
    }
    finish();
}

void connection_t::finish() {
    if (finished_.exchange(true)) {
        return;
    }
    invalidated_.store(true);
    shutdown(socket_.get(), SHUT_RDWR);
    std::shared_ptr<const handlers_t> last;
    {
        std::lock_guard lock(handlers_mutex_);
        last = std::exchange(handlers_, std::make_shared<handlers_t>());
    }
    // The handlers are released after the last one ran: they may hold what owns this connection.
    if (last->invalidation) {
        last->invalidation();
    }
}

}  // namespace platform::xpc
