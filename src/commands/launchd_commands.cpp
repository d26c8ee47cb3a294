// launchd jobs: launchctl in the system domain, and the two boolean keys of a job file.

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "platform/file_manager.h"
#include "platform/property_list.h"

namespace commands {
namespace {

constexpr std::string_view kDisabledKey = "Disabled";
constexpr std::string_view kRunAtLoadKey = "RunAtLoad";

[[nodiscard]] bool launchctl(std::vector<std::string> arguments) {
    return task_t::syncExec(tool_path(system_tool_t::launchctl), arguments) == 0;
}

}  // namespace

bool ExternalCommands::launchd_bootstrap(const std::string& job_file) {
    return launchctl({"bootstrap", "system", job_file});
}

bool ExternalCommands::launchd_bootout(const std::string& job_file) {
    return launchctl({"bootout", "system", job_file});
}

bool ExternalCommands::launchd_start(const std::string& label) {
    return launchctl({"start", label});
}

bool ExternalCommands::launchd_stop(const std::string& label) {
    return launchctl({"stop", label});
}

std::optional<double> ExternalCommands::_readPlistValue(const std::string& path, std::string_view key) {
    if (!platform::file_manager::exists(path)) {
        return std::nullopt;
    }
    const auto plist = platform::property_list_t::read_file(path);
    if (!plist) {
        return std::nullopt;
    }
    // A non-dictionary root has no keys, so it reads as absent too.
    const auto value = plist->root().get(key);
    return value ? value->as_number() : std::nullopt;
}

bool ExternalCommands::_modifyPlist(const std::string& path, bool value, std::string_view key) {
    if (!platform::file_manager::exists(path)) {
        return false;
    }
    auto plist = platform::property_list_t::read_file(path);
    if (!plist || plist->root().type() != platform::plist_type_t::dictionary) {
        return false;
    }
    plist->set(key, platform::property_list_t::boolean(value));
    return plist->write_xml_atomically(path);
}

bool ExternalCommands::launchd_is_enabled(const std::string& job_file) {
    const auto disabled = _readPlistValue(job_file, kDisabledKey);
    return !disabled || *disabled == 0;
}

bool ExternalCommands::launchd_is_run_at_load(const std::string& job_file) {
    const auto run_at_load = _readPlistValue(job_file, kRunAtLoadKey);
    return run_at_load && *run_at_load != 0;
}

bool ExternalCommands::launchd_set_enabled(const std::string& job_file, bool enabled) {
    return _modifyPlist(job_file, !enabled, kDisabledKey);
}

bool ExternalCommands::launchd_set_runatload(const std::string& job_file, bool run_at_load) {
    return _modifyPlist(job_file, run_at_load, kRunAtLoadKey);
}

}  // namespace commands
