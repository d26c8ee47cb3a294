#include "client/helper_client.h"

#include "platform/authorization_form.h"
#include "platform/debugger_protection.h"
#include "platform/xpc/listener.h"

namespace client {

std::unique_ptr<helper_client_t> helper_client_t::connect(const std::string& socket_path,
                                                          std::chrono::milliseconds timeout,
                                                          std::string* reason) {
    // The helper checks for a tracer before each request that can change something; a process that
    // cannot be attached to keeps its admission.
    if (!platform::deny_debugger_attachment()) {
        if (reason != nullptr) {
            *reason = "cannot protect the process from debuggers";
        }
        return nullptr;
    }
    auto connection = platform::xpc::remote_connection_t::connect(socket_path, reason);
    if (!connection) {
        return nullptr;
    }
    if (const auto error = connection->handshake(timeout)) {
        if (reason != nullptr) {
            *reason = std::string(platform::xpc::describe(*error));
        }
        return nullptr;
    }
    return std::unique_ptr<helper_client_t>(new helper_client_t(std::move(connection), timeout));
}

std::string helper_client_t::default_socket_path() {
    return platform::xpc::service_socket_path(QV_HELPER_SERVICE_NAME);
}

call_result_t helper_client_t::call_raw(std::string_view selector, const std::vector<value_t>& arguments,
                                        char reply_type) {
    return connection_->call(selector, arguments, reply_type, timeout_);
}

call_result_t helper_client_t::call(core::request_id_t id, const std::vector<value_t>& arguments) {
    const core::request_spec_t& row = core::request_spec(id);
    if (arguments.size() != row.argument_types.size()) {
        return call_error_t::malformed;
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (platform::xpc::type_code(arguments[i]) != row.argument_types[i]) {
            return call_error_t::malformed;
        }
    }
    return call_raw(row.selector, arguments, row.reply_type);
}

std::optional<call_error_t> helper_client_t::send_unanswered(std::string_view selector,
                                                             const std::vector<value_t>& arguments) {
    if (auto error = connection_->post(selector, arguments, timeout_)) {
        return error;
    }
    // A connection's requests run one after another, so the answer to this one comes after the helper has
    // checked and run the request before it.
    const call_result_t version = call(core::request_id_t::get_version, {});
    return version.ok() ? std::nullopt : std::optional<call_error_t>(version.error());
}

template <typename T>
outcome_t<T> helper_client_t::typed(core::request_id_t id, const std::vector<value_t>& arguments) {
    const call_result_t result = call(id, arguments);
    if (!result.ok()) {
        return {std::nullopt, result.error()};
    }
    if (const T* value = std::get_if<T>(&result.value())) {
        return {*value, call_error_t::refused};
    }
    return {std::nullopt, call_error_t::malformed};
}

namespace {

value_t text(const std::string& value) {
    return std::optional<std::string>(value);
}
value_t data(const bytes_t& value) {
    return std::optional<bytes_t>(value);
}
value_t flag(bool value) {
    return static_cast<signed char>(value ? 1 : 0);
}

}  // namespace

outcome_t<string_arg_t> helper_client_t::get_version() {
    return typed<string_arg_t>(core::request_id_t::get_version, {});
}

outcome_t<bool> helper_client_t::install_service(const bytes_t& auth, const std::string& bundle_path,
                                                 const std::string& qv_namespace,
                                                 const std::string& user_config) {
    return typed<bool>(core::request_id_t::install_service,
                       {data(auth), text(bundle_path), text(qv_namespace), text(user_config)});
}

outcome_t<bool> helper_client_t::install(const bytes_t& auth, const std::string& bundle_path,
                                         const std::string& sysconfig_path, const std::string& qv_namespace,
                                         const std::string& user_name, bool remove_flavors) {
    return typed<bool>(core::request_id_t::install,
                       {data(auth), text(bundle_path), text(sysconfig_path), text(qv_namespace),
                        text(user_name), flag(remove_flavors)});
}

outcome_t<bool> helper_client_t::uninstall(const bytes_t& auth, const std::string& bundle_path,
                                           const std::string& sysconfig_path, const std::string& qv_namespace,
                                           const std::string& user_name, bool remove_flavors) {
    return typed<bool>(core::request_id_t::uninstall,
                       {data(auth), text(bundle_path), text(sysconfig_path), text(qv_namespace),
                        text(user_name), flag(remove_flavors)});
}

outcome_t<bool> helper_client_t::fix_max_files() {
    return typed<bool>(core::request_id_t::fix_max_files, {});
}
std::optional<call_error_t> helper_client_t::restart(const std::string& bundle_path) {
    return send_unanswered(core::selector_of(core::request_id_t::restart), {text(bundle_path)});
}
outcome_t<bool> helper_client_t::reboot(const std::string& user_name, const std::string& password) {
    return typed<bool>(core::request_id_t::reboot, {text(user_name), text(password)});
}
outcome_t<bool> helper_client_t::start_service(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::start_service, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::is_service_installed(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::is_service_installed, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::is_service_disabled(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::is_service_disabled, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::is_service_run_at_load(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::is_service_run_at_load, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::set_tray_enabled(const string_arg_t& tray_text, bool enabled,
                                                  const string_arg_t& bundle_path) {
    return typed<bool>(core::request_id_t::set_tray_enabled, {tray_text, enabled, bundle_path});
}
outcome_t<bool> helper_client_t::quit_service(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::quit_service, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::fix_config_permissions(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::fix_config_permissions, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::check_global_settings_auth(const bytes_t& auth) {
    return typed<bool>(core::request_id_t::check_global_settings_auth, {data(auth)});
}
outcome_t<std::int32_t> helper_client_t::set_darkwake_mode(std::int32_t mode) {
    return typed<std::int32_t>(core::request_id_t::set_darkwake_mode, {mode});
}
outcome_t<bool> helper_client_t::is_autostart_enabled(const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::is_autostart_enabled, {text(qv_namespace)});
}
outcome_t<bool> helper_client_t::set_autostart_enabled(bool enabled, const std::string& qv_namespace) {
    return typed<bool>(core::request_id_t::set_autostart_enabled, {enabled, text(qv_namespace)});
}

bytes_t own_authorization_form() {
    const auto form = platform::make_authorization_form_for_self();
    return form ? bytes_t(form->begin(), form->end()) : bytes_t{};
}

}  // namespace client
