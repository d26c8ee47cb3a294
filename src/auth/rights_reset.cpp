// The helper's reset of its rights in the authorization database, done with the system's tool.
#include "auth/helper_tool_common.h"
#include "commands/external_commands.h"
#include "core/helper_tool.h"

namespace core {

void helper_tool_t::_resetAuthDB() {
    // 1.
    trace_info(_trace, "Resetting the authorization rights");
    // 2. Every right is tried, whatever became of the one before.
    for (const std::string& right : auth::helper_tool_common_t::authRightNames()) {
        if (!commands::ExternalCommands::remove_authorization(right)) {
            trace_warning(_trace, "Cannot remove the authorization right %s, going on", right.c_str());
        }
    }
}

}  // namespace core
