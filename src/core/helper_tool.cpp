#include "core/helper_tool.h"

#include <pthread.h>

#include <algorithm>
#include <thread>

#include "commands/task.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/listener.h"

namespace core {
namespace {

const char* helper_trace_name() {
    return "helper_tool";
}

}  // namespace

helper_tool_t::helper_tool_t(helper_dependencies_t dependencies)
    : deps_(std::move(dependencies)), _trace(&helper_trace_name) {
    // The service name is the helper's own identifier, unchanged: the launchd label and Mach service.
    if (deps_.make_listener) {
        _listener = deps_.make_listener(deps_.main_bundle->identifier().value_or(""));
    }
}

helper_tool_t::~helper_tool_t() {
    // The listener thread calls back into this object: stop it before anything else goes.
    _listener.reset();
}

void helper_tool_t::run() {
    if (_listener) {
        _listener->set_delegate([this](const std::shared_ptr<platform::xpc::connection_t>& connection) {
            return listener_should_accept_new_connection(connection);
        });
        _listener->set_error_handler([this](std::string_view message) {
            trace_warning(_trace, "Listener: %.*s", static_cast<int>(message.size()), message.data());
        });
        _listener->resume();
    }
    std::thread([self = shared_from_this()] {
        pthread_setname_np(pthread_self(), "qv-startup");
        try {
            self->fixOSMaxFilesIfNeedAndReply(nullptr);
        } catch (const commands::launch_error& error) {
            trace_error(self->_trace, "Start-up open-files check could not run a tool: %s", error.what());
        }
    }).detach();

    while (!idle_exit_due()) {
        if (const auto signal = deps_.take_stop_signal ? deps_.take_stop_signal() : std::nullopt) {
            trace_info(_trace, "Stopping on signal %d with %zu clients connected", *signal,
                       active_connection_count());
            break;
        }
        clock().sleep_for(1.0);
    }
    // Connections end and the socket file goes now, before the process writes its end record.
    _listener.reset();
}

bool helper_tool_t::idle_exit_due() const {
    return canQuit() && clock().now() - lastAccess() >= kIdleSeconds;
}

std::optional<std::string> helper_tool_t::qvNamespace() const {
    std::lock_guard guard(_namespace_lock);
    return _qvNamespace;
}

void helper_tool_t::setQvNamespace(std::string value) {
    std::lock_guard guard(_namespace_lock);
    _qvNamespace = std::move(value);
}

std::size_t helper_tool_t::active_connection_count() const {
    std::lock_guard guard(_lock);
    return _activeConnections.size();
}

std::vector<pid_t> helper_tool_t::active_connection_pids() const {
    std::lock_guard guard(_lock);
    std::vector<pid_t> pids;
    pids.reserve(_activeConnections.size());
    for (const auto& connection : _activeConnections) {
        pids.push_back(connection->process_identifier());
    }
    return pids;
}

}  // namespace core
