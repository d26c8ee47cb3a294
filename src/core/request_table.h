#pragma once
// The one table of the helper's requests: selector text, argument type codes, reply type code and effect,
// in declaration order. The wire codec, dispatch, the rights table and the client all derive from it.
//
// Type codes: 'B' bool, 'c' signed char used as a boolean, 'i' 32-bit int, '@' string, 'D' data.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace core {

enum class request_id_t : std::uint8_t {
    get_version,
    install_service,
    install,
    uninstall,
    fix_max_files,
    restart,
    reboot,
    start_service,
    is_service_installed,
    is_service_disabled,
    is_service_run_at_load,
    set_tray_enabled,
    quit_service,
    fix_config_permissions,
    check_global_settings_auth,
    set_darkwake_mode,
    is_autostart_enabled,
    set_autostart_enabled,
};

// Whether a request only answers a question or may change something. Before a request that may change
// something, the peer is held to the hardened runtime again (libraries, tracer); one that only reads
// skips that, so the frequent queries stay cheap.
enum class effect_t : std::uint8_t { reads, changes };

struct request_spec_t {
    request_id_t id;
    std::string_view selector;
    std::string_view argument_types;
    char reply_type;
    effect_t effect;
};

inline constexpr std::array<request_spec_t, 18> kRequests = {{
    {request_id_t::get_version, "get_version_with_reply:", "", '@', effect_t::reads},
    {request_id_t::install_service,
     "install_quorvix_service_with:bundle_path:for_namespace:user_config:reply:", "D@@@", 'B',
     effect_t::changes},
    {request_id_t::install,
     "install_quorvix_with_auth_data:bundle_path:sysconfig_path:qv_namespace:user_name:remove_flavors:reply:",
     "D@@@@c", 'B', effect_t::changes},
    {request_id_t::uninstall,
     "uninstall_quorvix_with_auth_data:bundle_path:sysconfig_path:qv_namespace:user_name:remove_flavors:"
     "reply:",
     "D@@@@c", 'B', effect_t::changes},
    {request_id_t::fix_max_files, "fixOSMaxFilesIfNeedAndReply:", "", 'B', effect_t::changes},
    {request_id_t::restart, "restart_quorvix_with_bundle_path:and_reply:", "@", 'B', effect_t::changes},
    {request_id_t::reboot, "reboot_computer_for_username:password:reply:", "@@", 'B', effect_t::changes},
    {request_id_t::start_service, "start_service_with_namespace:with_reply:", "@", 'B', effect_t::changes},
    {request_id_t::is_service_installed, "is_service_installed_with_namespace:with_reply:", "@", 'B',
     effect_t::reads},
    {request_id_t::is_service_disabled, "is_service_disabled_with_namespace:with_reply:", "@", 'B',
     effect_t::reads},
    {request_id_t::is_service_run_at_load, "is_service_run_at_load_with_namespace:with_reply:", "@", 'B',
     effect_t::reads},
    {request_id_t::set_tray_enabled, "set_tray_enabled:with_enabled:with_bundle_path:with_reply:", "@B@", 'B',
     effect_t::changes},
    {request_id_t::quit_service, "quit_service:with_reply:", "@", 'B', effect_t::changes},
    {request_id_t::fix_config_permissions, "fix_config_permissions:with_reply:", "@", 'B', effect_t::changes},
    {request_id_t::check_global_settings_auth, "check_global_settings_auth:reply:", "D", 'B',
     effect_t::changes},
    {request_id_t::set_darkwake_mode, "set_darkwake_mode:reply:", "i", 'i', effect_t::changes},
    {request_id_t::is_autostart_enabled, "isAutostartEnabledForNamespace:reply:", "@", 'B', effect_t::reads},
    {request_id_t::set_autostart_enabled, "setAutostartEnabled:forNamespace:reply:", "B@", 'B',
     effect_t::changes},
}};

[[nodiscard]] constexpr const request_spec_t& request_spec(request_id_t id) {
    return kRequests[static_cast<std::size_t>(id)];
}

[[nodiscard]] constexpr std::string_view selector_of(request_id_t id) {
    return request_spec(id).selector;
}

[[nodiscard]] constexpr std::optional<request_id_t> request_for_selector(std::string_view selector) {
    for (const auto& row : kRequests) {
        if (row.selector == selector) {
            return row.id;
        }
    }
    return std::nullopt;
}

// The table is indexed by id: each row must sit at its own position.
static_assert([] {
    for (std::size_t i = 0; i < kRequests.size(); ++i) {
        if (static_cast<std::size_t>(kRequests[i].id) != i) {
            return false;
        }
    }
    return true;
}());

}  // namespace core
