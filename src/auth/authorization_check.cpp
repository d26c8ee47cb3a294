// The check of a client's authorization before a privileged request, and the request that is only that
// check.
#include <string>
#include <vector>

#include "auth/helper_tool_common.h"
#include "core/helper_tool.h"
#include "core/request_table.h"
#include "platform/authorization.h"
#include "platform/authorization_form.h"
#include "platform/xpc/connection.h"

namespace core {
namespace {

// The error as "%@" shows an NSError without user information.
std::string error_text(const authorization_error_t& error) {
    return "Error Domain=NSOSStatusErrorDomain Code=" + std::to_string(error.code) + " \"" +
           error.description() + "\"";
}

// The audit token of the connection whose request runs on this thread; none outside a request.
std::optional<platform::audit_token_t> current_peer() {
    const auto connection = platform::xpc::current_connection();
    if (!connection) {
        return std::nullopt;
    }
    return connection->audit_token();
}

}  // namespace

std::string authorization_error_t::description() const {
    return "The operation couldn't be completed. (OSStatus error " + std::to_string(code) + ".)";
}

std::optional<authorization_error_t> helper_tool_t::check_authorization(const data_arg_t& data,
                                                                        std::string_view selector,
                                                                        right_rule_t rule) {
    // 1. Only a whole external form reaches Authorization Services.
    if (!data || data->size() != platform::kAuthorizationExternalFormLength) {
        const authorization_error_t error{platform::kParamErr};
        trace_error(_trace, "Authorization data refused: %s", error.description().c_str());
        return error;
    }
    const auto refuse = [this](platform::os_status_t status) {
        const authorization_error_t error{status};
        trace_error(_trace, "Authorization failed: %s", error_text(error).c_str());
        return error;
    };
    // Without Authorization Services nothing can be granted.
    if (deps_.authorization == nullptr) {
        return refuse(platform::errAuthorizationInternal);
    }
    platform::authorization_services_t& services = *deps_.authorization;

    // 2. The reference is freed by its owner whichever way the check ends.
    const platform::authorization_created_t created =
        services.create_from_external_form(*data, current_peer());
    if (created.status != platform::errAuthorizationSuccess) {
        return refuse(created.status);
    }
    // 3.
    trace_info(_trace, "Checking authorization for %.*s", static_cast<int>(selector.size()), selector.data());
    // 4.
    const std::string right = auth::helper_tool_common_t::authorization_right_for_command(selector);
    trace_info(_trace, "Authorization right %s%s", right.c_str(),
               rule == right_rule_t::as_removed ? ", checked under the rule default" : "");
    // 5. One right, no value, no environment; the rights are extended, asking the user if need be.
    const std::vector<platform::authorization_item_t> rights{{right, {}, 0}};
    const platform::authorization_flags_t flags =
        platform::kAuthorizationFlagExtendRights | platform::kAuthorizationFlagInteractionAllowed;
    const platform::os_status_t status =
        rule == right_rule_t::as_removed
            ? services.copy_rights_as_removed(created.reference.handle(), rights, flags)
            : services.copy_rights(created.reference.handle(), rights, flags);
    if (status == platform::errAuthorizationSuccess) {
        return std::nullopt;
    }
    // 6.
    return refuse(status);
}

void helper_tool_t::check_global_settings_auth(const data_arg_t& auth_data, const reply_t<bool>& reply) {
    // 1. The right follows from this request's own selector.
    const auto error = check_authorization(auth_data, selector_of(request_id_t::check_global_settings_auth));
    // 2.
    reply(!error.has_value());
}

}  // namespace core
