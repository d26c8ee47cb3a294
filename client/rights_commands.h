#pragma once
// The client's own work on the rights database: defining the helper's rights before it asks the user for
// them, and removing them. Runs in the client process, with the client's own authorization.

#include <optional>
#include <string>
#include <vector>

#include "platform/authorization.h"

namespace client {

struct right_state_t {
    std::string name;
    std::optional<std::string> rule;  // absent when the database does not hold the right
};

enum class rights_action_t { setup, remove };

// Status 0 and the rights as the database holds them after the action, or the status that refused this
// process a reference. `carried_out` tells from what the database holds afterwards whether the action
// took: every right defined after a setup, none after a removal.
struct rights_outcome_t {
    platform::os_status_t status = platform::errAuthorizationInternal;
    std::vector<right_state_t> rights;
    bool carried_out = false;
};
[[nodiscard]] rights_outcome_t run_rights_action(platform::authorization_services_t& services,
                                                 rights_action_t action);

}  // namespace client
