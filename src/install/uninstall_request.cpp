// The uninstall request: the application's processes ended, the job files and helper tools of one flavor
// or of every flavor deleted, its shared memory cleaned, its bundle deleted and the rights reset.
#include <algorithm>

#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "core/request_table.h"
#include "install/accepted_namespace.h"
#include "install/bundle_path.h"
#include "platform/file_manager.h"
#include "platform/system_root.h"

namespace core {
namespace {

using commands::ExternalCommands;

std::string pid_list_text(const std::vector<pid_t>& pids) {
    std::string text;
    for (const pid_t pid : pids) {
        text += (text.empty() ? "" : ", ") + std::to_string(pid);
    }
    return text.empty() ? "none" : text;
}

}  // namespace

void helper_tool_t::uninstall_quorvix_with_auth_data(const data_arg_t& auth_data,
                                                     const string_arg_t& bundle_path,
                                                     const string_arg_t& /*sysconfig_path*/,
                                                     const string_arg_t& qv_namespace,
                                                     const string_arg_t& /*user_name*/,
                                                     signed char remove_flavors, const reply_t<bool>& reply) {
    const auto fail = [&](const char* what) {
        trace_error(_trace, "Uninstall failed: %s", what);
        reply(false);
    };
    const bool every_flavor = remove_flavors != 0;
    // 1.
    trace_info(_trace, "Uninstall request for namespace %s, bundle %s",
               support::client_text_t(qv_namespace).c_str(), support::client_text_t(bundle_path).c_str());

    // 2.
    if (check_authorization(auth_data, selector_of(request_id_t::uninstall))) {
        fail("not authorized");
        return;
    }

    // 3. Every name below comes from this request's own namespace.
    const auto names = install::accepted_namespace(qv_namespace);
    if (!names) {
        fail("invalid namespace");
        return;
    }

    // 4.
    setQvNamespace(names->qv_namespace());

    // 5.
    if (!bundle_path || !install::names_application_bundle(*bundle_path)) {
        fail("the bundle name does not end in .app");
        return;
    }

    // 6. Read now: the bundle is gone by the time its shared memory is cleaned.
    const std::optional<std::string> version = _appVersionAtPath(*bundle_path);

    // 7.
    if (every_flavor) {
        trace_warning(_trace, "Removing every flavor of the application");
    }
    trace_info(_trace, "Removing the installation");

    // 8. Only the read happens under the lock; no command runs while it is held.
    const std::vector<pid_t> connected = active_connection_pids();
    const std::string application = app_bundle();
    trace_info(_trace, "Sparing the connected processes: %s", pid_list_text(connected).c_str());
    trace_info(_trace, "Application bundle identifier %s", application.c_str());

    // 9. The forceful attempt spares nobody.
    const std::optional<std::string> whose =
        every_flavor ? std::nullopt : std::optional<std::string>(application);
    if (!ExternalCommands::kill_all_processes(whose, connected, false)) {
        trace_warning(_trace, "Some processes did not take the termination; killing them");
        (void)ExternalCommands::kill_all_processes(whose, std::nullopt, true);
    }

    // 10.
    (void)ExternalCommands::launchd_bootout(names->svc_file_path());

    // 11.
    std::string job_wildcard = "com.trellwick.quorvix*.*";
    std::string helper_wildcard = "com.trellwick.quorvix*.Helper";
    if (!every_flavor) {
        job_wildcard = "com.trellwick." + names->qv_namespace() + ".*";
        helper_wildcard = names->helper_job_label();
    }
    const std::string helper_job_wildcard = helper_wildcard + ".plist";

    // 12. A helper job file can match twice; it is then simply tried twice.
    const std::string daemons = platform::system_path("/Library/LaunchDaemons");
    std::vector<std::string> paths = ExternalCommands::resolveFilesInDirectory(
        platform::system_path("/Library/LaunchAgents"), job_wildcard);
    for (auto more : {ExternalCommands::resolveFilesInDirectory(daemons, job_wildcard),
                      ExternalCommands::resolveFilesInDirectory(
                          platform::system_path("/Library/PrivilegedHelperTools"), helper_wildcard),
                      ExternalCommands::resolveFilesInDirectory(daemons, helper_job_wildcard)}) {
        std::move(more.begin(), more.end(), std::back_inserter(paths));
    }

    // 13.
    for (const std::string& path : paths) {
        trace_info(_trace, "Removing %s", path.c_str());
        if (const auto removed = platform::file_manager::remove_item(path); !removed) {
            trace_warning(_trace, "Cannot remove %s; going on", path.c_str());
        }
    }

    // 14.
    if (version) {
        cleanSharedMemory(version);
    }

    // 15. The rights stay when the bundle does.
    if (const auto removed = platform::file_manager::remove_item(*bundle_path); !removed) {
        trace_error(_trace, "Uninstall failed: %s", support::client_text_t(removed.error).c_str());
        reply(false);
        return;
    }
    trace_info(_trace, "Bundle removed");
    _resetAuthDB();
    trace_info(_trace, "Uninstall done");
    reply(true);
}

}  // namespace core
