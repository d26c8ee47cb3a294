// The install request: the application's bundle copied into /Applications and given to root, its global
// configuration and trace file prepared, its job files written, the installed copy started.
#include <vector>

#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "core/request_table.h"
#include "install/accepted_namespace.h"
#include "install/bundle_path.h"
#include "platform/bundle.h"
#include "platform/client_executable.h"
#include "platform/file_manager.h"
#include "platform/system_root.h"
#include "platform/user_files.h"

namespace core {
namespace {

using commands::ExternalCommands;
namespace files = platform::file_manager;

constexpr double kPauseBeforeStart = 0.2;

// The part after the last ".": "com.trellwick.quorvix_b" -> "quorvix_b".
std::string flavor_of(const std::string& identifier) {
    const auto dot = identifier.rfind('.');
    return dot == std::string::npos ? identifier : identifier.substr(dot + 1);
}

}  // namespace

void helper_tool_t::install_quorvix_with_auth_data(const data_arg_t& auth_data,
                                                   const string_arg_t& bundle_path,
                                                   const string_arg_t& sysconfig_path,
                                                   const string_arg_t& qv_namespace,
                                                   const string_arg_t& /*user_name*/,
                                                   signed char remove_flavors, const reply_t<bool>& reply) {
    const auto fail = [&](const char* what) {
        trace_error(_trace, "Install failed: %s", what);
        reply(false);
    };
    // 1.
    trace_info(_trace, "Install request for namespace %s", support::client_text_t(qv_namespace).c_str());
    trace_info(_trace, "Install from bundle %s", support::client_text_t(bundle_path).c_str());
    trace_info(_trace, "Install with configuration from %s", support::client_text_t(sysconfig_path).c_str());

    // 2. The right is checked as the reset of step 3 leaves it, under the rule `default`, but before the
    // reset: a refused request changes nothing.
    if (check_authorization(auth_data, selector_of(request_id_t::install), right_rule_t::as_removed)) {
        fail("not authorized");
        return;
    }

    // 3. Whatever rules the rights were given, they go back to their defaults.
    _resetAuthDB();

    // 4. Every name below comes from this request's own namespace.
    const auto names = install::accepted_namespace(qv_namespace);
    if (!names) {
        fail("invalid namespace");
        return;
    }

    // 5.
    setQvNamespace(names->qv_namespace());

    // 6. A source that names nothing is refused here, before the installed copy is removed for it.
    if (!bundle_path || !install::names_application_bundle(*bundle_path)) {
        fail("the bundle name does not end in .app");
        return;
    }
    // "/Applications/../x" would pass for a bundle in place.
    if (install::has_dot_component(*bundle_path)) {
        trace_error(_trace, "Install failed: the bundle path %s holds \".\" or \"..\"",
                    support::client_text_t(bundle_path).c_str());
        reply(false);
        return;
    }
    // Only a directory of its own is copied: refused here, before any process is ended for it.
    if (!files::is_directory_itself(*bundle_path)) {
        trace_error(_trace, "Install failed: no bundle directory at %s",
                    support::client_text_t(bundle_path).c_str());
        reply(false);
        return;
    }

    // 7.
    const std::string destination =
        platform::system_path("/Applications") + "/" + install::last_path_component(*bundle_path);

    // 8. Another flavor in the way means every flavor goes.
    bool remove_all_flavors = remove_flavors != 0;
    const std::string application = app_bundle();
    if (const auto present = platform::bundle_t::open(destination)) {
        if (const auto identifier = present->identifier(); identifier && *identifier != application) {
            trace_warning(_trace, "Flavor %s is installed where %s goes; removing every flavor",
                          support::client_text_t(flavor_of(*identifier)).c_str(),
                          flavor_of(application).c_str());
            remove_all_flavors = true;
        }
    }

    // 9. By path components: "/ApplicationsX/Quorvix.app" is not in place.
    std::optional<std::string> old_version;
    bool made_copy = false;
    if (install::lies_below(*bundle_path, platform::system_path("/Applications"))) {
        trace_warning(_trace, "The bundle is already in place; nothing is copied");
    } else {
        // 9.1
        trace_info(_trace, "Ending the application's processes");
        // 9.2 Nobody is spared: the installed copy is started again at the end.
        const std::optional<std::string> whose =
            remove_all_flavors ? std::nullopt : std::optional<std::string>(application);
        if (!ExternalCommands::kill_all_processes(whose, std::nullopt, false)) {
            trace_warning(_trace, "Some processes did not take the termination; killing them");
            (void)ExternalCommands::kill_all_processes(whose, std::nullopt, true);
        }
        // 9.3
        (void)ExternalCommands::launchd_bootout(names->svc_file_path());
        // 9.4
        if (files::exists(destination)) {
            old_version = _appVersionAtPath(destination);
            trace_info(_trace, "Replacing version %s at %s", support::client_text_t(old_version).c_str(),
                       support::client_text_t(destination).c_str());
            if (const auto removed = files::remove_item(destination); !removed) {
                trace_error(_trace, "Install failed: %s", support::client_text_t(removed.error).c_str());
                reply(false);
                return;
            }
        }
        // 9.5
        trace_info(_trace, "Copying the bundle into place");
        if (const auto copied = files::copy_item(*bundle_path, destination, files::item_kind_t::directory);
            !copied) {
            trace_error(_trace, "Install failed: %s", support::client_text_t(copied.error).c_str());
            reply(false);
            return;
        }
        made_copy = true;
    }

    // 10. The jobs will run the executable at the destination as root, so it must be the application's
    // own code; root's owner and modes go to what was opened and checked here. A bundle used in place
    // must be a directory itself, as a copy always is.
    const platform::owned_fd_t bundle = platform::open_directory(destination);
    if (!bundle.valid()) {
        trace_error(_trace, "Install failed: no bundle directory at %s",
                    support::client_text_t(destination).c_str());
        reply(false);
        return;
    }
    const platform::owned_fd_t checked_executable = _openClientExecutable(bundle.get(), destination);
    if (!checked_executable.valid()) {
        if (made_copy) {
            (void)files::remove_item(destination);
        }
        reply(false);
        return;
    }
    trace_info(_trace, "Giving the bundle to root");
    (void)files::set_tree_attributes(bundle.get(), destination, install::kInstalledBundleAttributes);
    // Only this copy, which nobody but root can change: a client that others run must be set-group-id.
    (void)platform::give_client_runtime(checked_executable.get());

    // 11. The global trace file goes there; without it the install still goes on.
    if (const auto created = files::create_directory(platform::system_path("/var/log"), true); !created) {
        trace_error(_trace, "Cannot create the log directory");
    }

    // 12.-13.
    _createGlobalTraceIfNeedFor(*names);
    _migrateToGlobalConfigFrom(*names, sysconfig_path);

    // 14.-15.
    if (remove_all_flavors) {
        _remove_all_launch_agents_and_daemons();
    }
    _remove_historical_remains(*names);

    // 16.
    const std::string executable = install::bundle_executable(destination);

    // 17.
    trace_info(_trace, "Writing the service job");
    if (!_create_service_for_exe_path(*names, executable)) {
        fail("the service job was not written");
        return;
    }
    // 18.
    trace_info(_trace, "Writing the agent job");
    if (!_create_agent_for_exe_path(*names, executable)) {
        fail("the agent job was not written");
        return;
    }

    // 19. One cleaning per distinct version; an absent new version is still passed on.
    if (old_version) {
        cleanSharedMemory(old_version);
    }
    const std::optional<std::string> new_version = _appVersionAtPath(*bundle_path);
    if (!(old_version && new_version && *old_version == *new_version)) {
        cleanSharedMemory(new_version);
    }

    // 20.
    trace_info(_trace, "Removing the quarantine mark");
    if (!ExternalCommands::removeOpenWarningFromQuorvix(destination)) {
        trace_warning(_trace, "The quarantine mark was not removed; going on");
    }

    // 21. Only an unambiguous installation image is ejected, and a link in /Volumes is none.
    auto volumes = ExternalCommands::resolveFilesInDirectory(platform::system_path("/Volumes"), "Quorvix*");
    std::erase_if(volumes, [](const std::string& volume) { return files::is_link(volume); });
    trace_info(_trace, "Installation volumes found: %lu", static_cast<unsigned long>(volumes.size()));
    if (volumes.size() == 1 && !ExternalCommands::ejectQuorvixDMG(volumes.front())) {
        trace_warning(_trace, "The installation image was not ejected; going on");
    }

    // 22.
    if (!ExternalCommands::ls_register_app(destination)) {
        trace_warning(_trace, "Launch Services registration failed; going on");
    }

    // 23.
    clock().sleep_for(kPauseBeforeStart);

    // 24. The application's own records tell how its start went; the install is done either way.
    (void)_start_app_at_path(destination);

    // 25.
    trace_info(_trace, "Install done");
    reply(true);
}

}  // namespace core
