// Admission of a new connection: the client's code, found by the connection's audit token, must satisfy
// the requirement the helper carries in its own information list.
#include <memory>

#include "core/helper_tool.h"
#include "core/request_dispatch.h"
#include "platform/codesign/codesign.h"
#include "platform/xpc/connection.h"

namespace core {
namespace {

namespace codesign = platform::codesign;

}  // namespace

bool helper_tool_t::listener_should_accept_new_connection(
    const std::shared_ptr<platform::xpc::connection_t>& connection) {
    // 1. The audit token; 32 zero bytes stand in for a missing connection.
    const platform::audit_token_t token = connection ? connection->audit_token() : platform::audit_token_t{};

    // 2. Without a guest the validity check below fails, so its status needs no look.
    std::unique_ptr<codesign::code_t> guest;
    (void)codesign::copy_guest_with_audit_token(token, guest);

    // 3. The requirement text.
    const std::optional<std::string> requirement_text = client_requirement();
    if (!requirement_text) {
        return false;
    }

    // 4. Compile it.
    std::unique_ptr<codesign::requirement_t> requirement;
    (void)codesign::create_requirement_with_string(*requirement_text, requirement);
    if (!requirement) {
        return false;
    }

    // 5. Check the guest against it.
    const platform::os_status_t status = codesign::check_validity(guest.get(), *requirement);
    requirement.reset();
    if (status != platform::errSecSuccess || !connection) {
        return false;
    }

    // 6. Admit.
    setLastAccess(clock().now());
    setCanQuit(false);
    export_requests(*this, *connection);
    std::size_t active = 0;
    {
        std::lock_guard guard(_lock);
        _activeConnections.push_back(connection);
        active = _activeConnections.size();
    }
    const std::weak_ptr<platform::xpc::connection_t> weak_connection = connection;
    connection->set_invalidation_handler([self = shared_from_this(), weak_connection] {
        const auto gone = weak_connection.lock();
        if (!gone) {
            return;
        }
        std::lock_guard guard(self->_lock);
        std::erase(self->_activeConnections, gone);
        if (self->_activeConnections.empty()) {
            self->setCanQuit(true);
            trace_info(self->_trace, "Last connection closed, idle countdown started");
        }
    });
    connection->set_interruption_handler(
        [self = shared_from_this()] { trace_warning(self->_trace, "Connection interrupted"); });
    trace_info(_trace, "Connection admitted, %llu active", static_cast<unsigned long long>(active));
    connection->resume();
    return true;
}

}  // namespace core
