// The global-service install: the service and agent jobs set up for a bundle that stays where it lies.
#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "core/request_table.h"
#include "install/accepted_namespace.h"
#include "install/bundle_path.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/user_files.h"

namespace core {
namespace {

using commands::ExternalCommands;
namespace files = platform::file_manager;

constexpr double kPauseBeforeStart = 1.0;

}  // namespace

void helper_tool_t::install_quorvix_service_with(const data_arg_t& auth_data, const string_arg_t& bundle_path,
                                                 const string_arg_t& qv_namespace,
                                                 const string_arg_t& user_config,
                                                 const reply_t<bool>& reply) {
    const auto fail = [&](const char* what) {
        trace_error(_trace, "Install failed: %s", what);
        reply(false);
    };
    // 1.
    trace_info(_trace, "Global service install for namespace %s",
               support::client_text_t(qv_namespace).c_str());

    // 2. The rights are checked as they stand.
    if (check_authorization(auth_data, selector_of(request_id_t::install_service))) {
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

    // The bundle is handed to root recursively where it lies, so it must be one: an absolute path to a
    // directory holding an information list, never a directory such as "/" or "/etc", nor a link to one.
    // Opened once: its owner may swap what lies at the path, and every step below works on what was opened.
    const platform::owned_fd_t bundle = bundle_path && bundle_path->starts_with('/')
                                            ? platform::open_directory(*bundle_path)
                                            : platform::owned_fd_t();
    if (!bundle.valid() || !platform::bundle_t::open_at(bundle.get(), *bundle_path)) {
        trace_error(_trace, "Install failed: no application bundle at %s",
                    support::client_text_t(bundle_path).c_str());
        reply(false);
        return;
    }

    // 5.
    _createGlobalTraceIfNeedFor(*names);

    // 6.
    (void)files::set_tree_attributes(bundle.get(), *bundle_path, install::kInstalledBundleAttributes);
    // The root service job will run code from here; whoever can change the place can change that code.
    if (const auto changeable = files::changeable_by_others(*bundle_path)) {
        trace_warning(_trace, "The service runs code from %s, which a user other than root can change",
                      support::client_text_t(*changeable).c_str());
    }
    // That code must be the application's own, as it is now.
    if (!_openClientExecutable(bundle.get(), *bundle_path).valid()) {
        reply(false);
        return;
    }

    // 7.
    const std::string executable = install::bundle_executable(*bundle_path);

    // 8.
    trace_info(_trace, "Writing the service job");
    if (!_create_service_for_exe_path(*names, executable)) {
        fail("the service job was not written");
        return;
    }
    // 9.
    trace_info(_trace, "Writing the agent job");
    if (!_create_agent_for_exe_path(*names, executable)) {
        fail("the agent job was not written");
        return;
    }

    // 10.
    _migrateToGlobalConfigFrom(*names, user_config);

    // 11. Nobody is spared: the application is started again at the end.
    const std::optional<std::string> application = app_bundle();
    if (!ExternalCommands::kill_all_processes(application, std::nullopt, false)) {
        trace_warning(_trace, "Some processes did not take the termination; killing them");
        (void)ExternalCommands::kill_all_processes(application, std::nullopt, true);
    }

    // 12.
    _remove_historical_remains(*names);

    // 13. Also without a version: the cleaning then only records that it had none.
    cleanSharedMemory(_appVersionAtPath(*bundle_path));

    // 14.
    if (!ExternalCommands::removeOpenWarningFromQuorvix(*bundle_path)) {
        trace_warning(_trace, "The quarantine mark was not removed; going on");
    }

    // 15.
    clock().sleep_for(kPauseBeforeStart);

    // 16. The application's own records tell how its start went.
    (void)_start_app_at_path(*bundle_path);

    // 17.
    trace_info(_trace, "Global service install done");
    reply(true);
}

}  // namespace core
