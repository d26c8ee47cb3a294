#include "auth/helper_tool_common.h"

#include "core/request_table.h"
#include "support/trace.h"

namespace auth {
namespace {

// The same name provider as the helper's own handle.
const char* common_trace_name() {
    return "helper_tool";
}

}  // namespace

command_info_t helper_tool_common_t::commandInfo() {
    using core::request_id_t;
    using core::selector_of;
    return {
        {std::string(selector_of(request_id_t::install)),
         {"com.trellwick.Quorvix.Helper.install_quorvix", "is-admin", "Quorvix is trying to install itself"}},
        {std::string(selector_of(request_id_t::install_service)),
         {"com.trellwick.Quorvix.Helper.install_service", "is-admin",
          "Quorvix is trying to install global service"}},
        {std::string(selector_of(request_id_t::uninstall)),
         {"com.trellwick.Quorvix.Helper.uninstall_quorvix", "authenticate-admin",
          "Quorvix is trying to uninstall itself"}},
        {std::string(selector_of(request_id_t::check_global_settings_auth)),
         {"com.trellwick.Quorvix.Helper.global_settings", "authenticate-admin",
          "Quorvix is trying to unlock the global settings"}},
    };
}

std::vector<std::string> helper_tool_common_t::authRightNames() {
    std::vector<std::string> names;
    for (const auto& [selector, right] : commandInfo()) {
        names.push_back(right.authRightName);
    }
    return names;
}

std::string helper_tool_common_t::authorization_right_for_command(std::string_view selector) {
    const command_info_t table = commandInfo();
    const auto found = table.find(selector);
    return found == table.end() ? std::string(kFallbackRight) : found->second.authRightName;
}

void helper_tool_common_t::enumerate_rights_using_block(const rights_block_t& block) {
    for (const auto& [selector, right] : commandInfo()) {
        block(right.authRightName, right.authRightDefault, right.authRightDescription);
    }
}

void helper_tool_common_t::setup_authorization_rights(const platform::authorization_ref_t& authorization) {
    if (!authorization) {
        return;
    }
    platform::authorization_services_t& services = *authorization.services();
    enumerate_rights_using_block(
        [&](const std::string& right_name, const std::string& default_rule, const std::string& description) {
            // The database answers errAuthorizationDenied for a right it does not hold; any other answer,
            // success included, leaves the definition as it is.
            if (services.right_get(right_name).status != platform::errAuthorizationDenied) {
                return;
            }
            // A failed definition is neither reported nor retried.
            static_cast<void>(services.right_set(authorization.handle(), right_name, default_rule,
                                                 description, std::string(kLocalizationTable)));
        });
}

void helper_tool_common_t::delete_authorization_rights(const platform::authorization_ref_t& authorization) {
    platform::authorization_services_t* services = authorization.services();
    enumerate_rights_using_block([&](const std::string& right_name, const std::string&, const std::string&) {
        const platform::os_status_t status = authorization
                                                 ? services->right_remove(authorization.handle(), right_name)
                                                 : platform::errAuthorizationInvalidRef;
        if (status != platform::errAuthorizationSuccess) {
            support::trace_t trace(&common_trace_name);
            trace_error(trace, "Cannot remove the authorization right %s", right_name.c_str());
        }
    });
}

}  // namespace auth
