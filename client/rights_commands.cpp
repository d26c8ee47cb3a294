#include "client/rights_commands.h"

#include "auth/helper_tool_common.h"

namespace client {

rights_outcome_t run_rights_action(platform::authorization_services_t& services, rights_action_t action) {
    const platform::authorization_created_t created = services.create();
    if (created.status != platform::errAuthorizationSuccess) {
        return {created.status, {}};
    }
    if (action == rights_action_t::setup) {
        auth::helper_tool_common_t::setup_authorization_rights(created.reference);
    } else {
        auth::helper_tool_common_t::delete_authorization_rights(created.reference);
    }
    // A lookup that fails for another reason than a missing right counts against either action.
    const platform::os_status_t expected = action == rights_action_t::setup
                                               ? platform::errAuthorizationSuccess
                                               : platform::errAuthorizationDenied;
    rights_outcome_t outcome{platform::errAuthorizationSuccess, {}, true};
    for (const std::string& name : auth::helper_tool_common_t::authRightNames()) {
        const platform::authorization_right_lookup_t lookup = services.right_get(name);
        outcome.rights.push_back(
            {name, lookup.definition ? std::optional<std::string>(lookup.definition->rule) : std::nullopt});
        outcome.carried_out = outcome.carried_out && lookup.status == expected;
    }
    return outcome;
}

}  // namespace client
