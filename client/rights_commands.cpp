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
    rights_outcome_t outcome{platform::errAuthorizationSuccess, {}};
    for (const std::string& name : auth::helper_tool_common_t::authRightNames()) {
        const platform::authorization_right_lookup_t lookup = services.right_get(name);
        outcome.rights.push_back(
            {name, lookup.definition ? std::optional<std::string>(lookup.definition->rule) : std::nullopt});
    }
    return outcome;
}

}  // namespace client
