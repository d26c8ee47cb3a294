// Starting, stopping and querying the global service of a namespace, its automatic start, and the
// permissions of its global configuration. No right is checked: an admitted client may ask.
#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "install/accepted_namespace.h"
#include "platform/file_manager.h"

namespace core {

using commands::ExternalCommands;

namespace {

// A validating request's names: absent for a namespace it must refuse; else stored as the current one.
std::optional<install::namespace_names_t> accepted_names(helper_tool_t& helper,
                                                         const string_arg_t& qv_namespace) {
    auto names = install::accepted_namespace(qv_namespace);
    if (names) {
        helper.setQvNamespace(names->qv_namespace());
    }
    return names;
}

// A query's names: any namespace goes and is stored; a nil one names no job file.
std::optional<install::namespace_names_t> queried_names(helper_tool_t& helper,
                                                        const string_arg_t& qv_namespace) {
    if (!qv_namespace) {
        return std::nullopt;
    }
    helper.setQvNamespace(*qv_namespace);
    return install::namespace_names_t(*qv_namespace);
}

}  // namespace

void helper_tool_t::start_service_with_namespace(const string_arg_t& qv_namespace,
                                                 const reply_t<bool>& reply) {
    // 1.-2. All names come from this request's own namespace, never from the shared current one.
    const auto names = accepted_names(*this, qv_namespace);
    if (!names) {
        reply(false);
        return;
    }
    const std::string job_file = names->svc_file_path();
    const std::string label = names->svc_label();
    // 3. launchd refuses to bootstrap a disabled job; a failed re-enable shows in the bootstrap.
    if (!ExternalCommands::launchd_is_enabled(job_file)) {
        trace_warning(_trace, "The service job %s is disabled, enabling it",
                      support::client_text_t(job_file).c_str());
        (void)ExternalCommands::launchd_set_enabled(job_file, true);
    }
    // 4.
    trace_info(_trace, "Starting the service %s", support::client_text_t(label).c_str());
    // 5.
    if (ExternalCommands::launchd_bootstrap(job_file)) {
        reply(true);
        return;
    }
    // 6. Already loaded jobs refuse a bootstrap but can still be started.
    trace_warning(_trace, "Bootstrap of the service failed, starting it by its label");
    reply(ExternalCommands::launchd_start(label));
}

// The four queries take any namespace and answer from the paths formed with it; they only read. A nil
// namespace names no job file: NO, and nothing recorded.
void helper_tool_t::is_service_installed_with_namespace(const string_arg_t& qv_namespace,
                                                        const reply_t<bool>& reply) {
    const auto names = queried_names(*this, qv_namespace);
    reply(names && platform::file_manager::exists(names->svc_file_path()));
}

void helper_tool_t::is_service_disabled_with_namespace(const string_arg_t& qv_namespace,
                                                       const reply_t<bool>& reply) {
    const auto names = queried_names(*this, qv_namespace);
    reply(names && !ExternalCommands::launchd_is_enabled(names->svc_file_path()));
}

void helper_tool_t::is_service_run_at_load_with_namespace(const string_arg_t& qv_namespace,
                                                          const reply_t<bool>& reply) {
    const auto names = queried_names(*this, qv_namespace);
    reply(names && ExternalCommands::launchd_is_run_at_load(names->svc_file_path()));
}

void helper_tool_t::isAutostartEnabledForNamespace(const string_arg_t& qv_namespace,
                                                   const reply_t<bool>& reply) {
    const auto names = queried_names(*this, qv_namespace);
    reply(names && ExternalCommands::launchd_is_run_at_load(names->agent_file_path()));
}

void helper_tool_t::setAutostartEnabled(bool enabled, const string_arg_t& qv_namespace,
                                        const reply_t<bool>& reply) {
    const auto names = accepted_names(*this, qv_namespace);
    if (!names) {
        reply(false);
        return;
    }
    // A missing job file is not an error: that job is simply not installed.
    (void)ExternalCommands::launchd_set_runatload(names->agent_file_path(), enabled);
    (void)ExternalCommands::launchd_set_runatload(names->svc_file_path(), enabled);
    reply(true);
}

// Accepted and answered YES whatever it carries: the helper keeps no tray state.
void helper_tool_t::set_tray_enabled(const string_arg_t& /*text*/, bool /*enabled*/,
                                     const string_arg_t& /*bundle_path*/, const reply_t<bool>& reply) {
    reply(true);
}

// Needs no right, so it only repairs the directory of an installed namespace, never "/etc/<anything>".
void helper_tool_t::fix_config_permissions(const string_arg_t& qv_namespace, const reply_t<bool>& reply) {
    const auto names = accepted_names(*this, qv_namespace);
    if (!names || !platform::file_manager::exists(names->svc_file_path())) {
        reply(false);
        return;
    }
    reply(_fixGlobalConfigPermissions(*names));
}

void helper_tool_t::quit_service(const string_arg_t& qv_namespace, const reply_t<bool>& reply) {
    const auto names = accepted_names(*this, qv_namespace);
    if (!names) {
        reply(false);
        return;
    }
    // A service that is not loaded counts as stopped.
    (void)ExternalCommands::launchd_stop(names->svc_label());
    reply(true);
}

}  // namespace core
