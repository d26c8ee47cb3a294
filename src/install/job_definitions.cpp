// The launchd job files of an installation: the root service and the per-login agent. Writing a job
// file loads nothing; the service control requests do that.
#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "install/namespace_names.h"
#include "platform/property_list.h"

namespace core {
namespace {

// The five entries both jobs share; each adds its user or login-type entry.
platform::property_list_t job_definition(const std::string& label, const std::string& exe_path,
                                         const std::string& role_argument) {
    auto definition = platform::property_list_t::dictionary();
    definition.set("Label", platform::property_list_t::string(label));
    definition.set("Disabled", platform::property_list_t::boolean(false));
    definition.set("RunAtLoad", platform::property_list_t::boolean(true));
    definition.set("KeepAlive", platform::property_list_t::boolean(false));
    definition.set("LaunchOnlyOnce", platform::property_list_t::boolean(true));
    definition.set("ProgramArguments", platform::property_list_t::string_array({exe_path, role_argument}));
    return definition;
}

}  // namespace

bool helper_tool_t::_createPlist(const std::string& path, const platform::property_list_t& definition) {
    // In place: an existing file keeps its owner and mode, a new one gets what root's new files get.
    return definition.write_xml(path);
}

bool helper_tool_t::_create_service_for_exe_path(const install::namespace_names_t& names,
                                                 const std::string& exe_path) {
    // A loaded service must not run from a file that is being rewritten; not loaded is fine too.
    (void)commands::ExternalCommands::launchd_stop(names.svc_label());

    auto definition = job_definition(names.svc_label(), exe_path, "--service");
    definition.set("UserName", platform::property_list_t::string("root"));
    const std::string path = names.svc_file_path();
    if (!_createPlist(path, definition)) {
        trace_error(_trace, "Cannot write the job file %s", support::client_text_t(path).c_str());
        return false;
    }
    return true;
}

bool helper_tool_t::_create_agent_for_exe_path(const install::namespace_names_t& names,
                                               const std::string& exe_path) {
    auto definition = job_definition(names.agent_label(), exe_path, "--control");
    definition.set("LimitLoadToSessionType", platform::property_list_t::string("Aqua"));
    // The caller reports a failure.
    return _createPlist(names.agent_file_path(), definition);
}

}  // namespace core
