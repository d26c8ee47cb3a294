#include "commands/system_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system_root.h"

namespace commands {

std::string tool_path(system_tool_t tool) {
    return platform::system_path(kSystemTools[static_cast<std::size_t>(tool)].path);
}

std::vector<std::string> missing_system_tools() {
    std::vector<std::string> missing;
    for (const system_tool_spec_t& tool : kSystemTools) {
        if (!tool.run_by_requests) {
            continue;
        }
        // Links are followed: a host may provide a tool as a link to its own.
        const std::string path = tool_path(tool.id);
        struct stat status {};
        if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
            missing.push_back(path);
        }
    }
    return missing;
}

}  // namespace commands
