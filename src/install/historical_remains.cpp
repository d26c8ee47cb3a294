// Files that older versions of the product created for a namespace and current ones no longer use.
#include "core/helper_tool.h"
#include "install/namespace_names.h"
#include "platform/file_manager.h"

namespace core {

void helper_tool_t::_remove_historical_remains(const install::namespace_names_t& names) {
    // 1. Mostly absent already; whatever happens is of no interest to the install.
    for (const std::string& path : {names.hub_agent_file(), names.wrapper_tool()}) {
        (void)platform::file_manager::remove_item(path);
    }
}

}  // namespace core
