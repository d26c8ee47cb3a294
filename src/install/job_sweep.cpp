// Removal of the job files that earlier installations of any flavor left behind.
#include <string_view>

#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "platform/file_manager.h"
#include "platform/system_root.h"

namespace core {
namespace {

using commands::ExternalCommands;

std::string_view last_component(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A plain, case-sensitive substring test. An empty name is found nowhere, so a helper that does not
// know its own name spares no job file rather than all of them.
bool contains(std::string_view text, std::string_view name) {
    return !name.empty() && text.find(name) != std::string_view::npos;
}

}  // namespace

void helper_tool_t::_remove_all_launch_agents_and_daemons() {
    // 1. The job directories are the same for every namespace.
    const std::string daemons_dir = platform::system_path("/Library/LaunchDaemons");
    const std::string agents_dir = platform::system_path("/Library/LaunchAgents");

    // 2. Service jobs of every flavor.
    for (const auto& path :
         ExternalCommands::resolveFilesInDirectory(daemons_dir, "com.trellwick.quorvix*.service.plist")) {
        trace_info(_trace, "Removing service job %s", path.c_str());
        if (const auto removed = platform::file_manager::remove_item(path); !removed) {
            trace_warning(_trace, "Cannot remove %s: %s; going on", path.c_str(), removed.error.c_str());
        }
    }

    // 3. Agent jobs of every flavor.
    for (const auto& path :
         ExternalCommands::resolveFilesInDirectory(agents_dir, "com.trellwick.quorvix*.Frontend.plist")) {
        trace_info(_trace, "Removing agent job %s", path.c_str());
        if (const auto removed = platform::file_manager::remove_item(path); !removed) {
            trace_warning(_trace, "Cannot remove %s: %s; going on", path.c_str(), removed.error.c_str());
        }
    }

    // 4. Helper jobs, except the running helper's own: launchd starts it by that file.
    const std::string& own_name = deps_.own_executable_name;
    for (const auto& path :
         ExternalCommands::resolveFilesInDirectory(daemons_dir, "com.trellwick.quorvix*.Helper.plist")) {
        if (contains(last_component(path), own_name)) {
            continue;
        }
        trace_info(_trace, "Removing helper job %s", path.c_str());
        if (const auto removed = platform::file_manager::remove_item(path); !removed) {
            trace_info(_trace, "Cannot remove %s: %s; going on", path.c_str(), removed.error.c_str());
        }
    }
}

}  // namespace core
