// Ownership, modes and the quarantine mark through the system tools; user and group lookups by name.

#include <grp.h>
#include <pwd.h>

#include <array>
#include <cstdio>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "support/trace.h"

namespace commands {
namespace {

constexpr std::size_t kLookupBufferSize = 1024;

const char* account_lookup_trace_name() {
    return "ExternalCommands.uid";
}
const char* group_lookup_trace_name() {
    return "ExternalCommands.gid";
}

// "-R" first when recursive, then the tool's own arguments.
std::vector<std::string> with_recursion(bool recursively, std::vector<std::string> arguments) {
    if (recursively) {
        arguments.insert(arguments.begin(), "-R");
    }
    return arguments;
}

}  // namespace

bool ExternalCommands::chmod(const std::string& path, std::uint16_t mode, bool recursively) {
    std::array<char, 8> octal{};
    std::snprintf(octal.data(), octal.size(), "%o", static_cast<unsigned>(mode));
    return task_t::syncExec(tool_path(system_tool_t::chmod),
                            with_recursion(recursively, {octal.data(), path})) == 0;
}

bool ExternalCommands::chown(const std::string& path, const std::string& owner, const std::string& group,
                             bool recursively) {
    return task_t::syncExec(tool_path(system_tool_t::chown),
                            with_recursion(recursively, {owner + ":" + group, path})) == 0;
}

bool ExternalCommands::removeOpenWarningFromQuorvix(const std::string& bundle_path) {
    // -s: a link met inside the bundle loses its own mark; without it the tool would act on the link's
    // target.
    return task_t::syncExec(tool_path(system_tool_t::xattr),
                            {"-d", "-r", "-s", "com.apple.quarantine", bundle_path}) == 0;
}

std::uint32_t ExternalCommands::uid(const std::string& user_name) {
    if (user_name.empty()) {
        return kNoIdentifier;
    }
    passwd record{};
    passwd* found = nullptr;
    std::array<char, kLookupBufferSize> buffer{};
    const int error = ::getpwnam_r(user_name.c_str(), &record, buffer.data(), buffer.size(), &found);
    if (error != 0) {
        support::trace_t trace(account_lookup_trace_name);
        support::trace_error(trace, "cannot look up user %s: error %d", user_name.c_str(), error);
        return kNoIdentifier;
    }
    return found == nullptr ? kNoIdentifier : found->pw_uid;
}

std::uint32_t ExternalCommands::gid(const std::string& group_name) {
    if (group_name.empty()) {
        return kNoIdentifier;
    }
    group record{};
    group* found = nullptr;
    std::array<char, kLookupBufferSize> buffer{};
    const int error = ::getgrnam_r(group_name.c_str(), &record, buffer.data(), buffer.size(), &found);
    if (error != 0) {
        support::trace_t trace(group_lookup_trace_name);
        support::trace_error(trace, "cannot look up group %s: error %d", group_name.c_str(), error);
        return kNoIdentifier;
    }
    return found == nullptr ? kNoIdentifier : found->gr_gid;
}

}  // namespace commands
