#pragma once
// The client library: a connection to the helper and one typed call per request, all derived from the
// request table.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/request_table.h"
#include "platform/xpc/remote_connection.h"
#include "platform/xpc/wire.h"

namespace client {

using platform::xpc::call_error_t;
using platform::xpc::call_result_t;
using platform::xpc::value_t;
using bytes_t = std::vector<std::uint8_t>;
using string_arg_t = std::optional<std::string>;

// A typed reply, or why there is none.
template <typename T>
struct outcome_t {
    std::optional<T> value;
    call_error_t error = call_error_t::refused;
    [[nodiscard]] bool ok() const { return value.has_value(); }
};

class helper_client_t {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{60'000};

    // Makes the process non-dumpable (other processes of its user can no longer attach), connects and
    // waits for the helper's hello; null with a reason when refused or unreachable.
    [[nodiscard]] static std::unique_ptr<helper_client_t> connect(const std::string& socket_path,
                                                                  std::chrono::milliseconds timeout,
                                                                  std::string* reason = nullptr);
    // The helper's service socket under the system root.
    [[nodiscard]] static std::string default_socket_path();

    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // Any request with raw values, checked against nothing: the helper judges them.
    [[nodiscard]] call_result_t call_raw(std::string_view selector, const std::vector<value_t>& arguments,
                                         char reply_type);
    // A request of the table; arguments whose types differ from the table are refused here (malformed).
    [[nodiscard]] call_result_t call(core::request_id_t id, const std::vector<value_t>& arguments);
    // A request that is never answered. Returns once the helper has taken it (the error otherwise): the
    // client may leave then, whereas a sender gone before the helper reads its request gets it refused.
    [[nodiscard]] std::optional<call_error_t> send_unanswered(std::string_view selector,
                                                              const std::vector<value_t>& arguments);

    outcome_t<string_arg_t> get_version();
    outcome_t<bool> install_service(const bytes_t& auth, const std::string& bundle_path,
                                    const std::string& qv_namespace, const std::string& user_config);
    outcome_t<bool> install(const bytes_t& auth, const std::string& bundle_path,
                            const std::string& sysconfig_path, const std::string& qv_namespace,
                            const std::string& user_name, bool remove_flavors);
    outcome_t<bool> uninstall(const bytes_t& auth, const std::string& bundle_path,
                              const std::string& sysconfig_path, const std::string& qv_namespace,
                              const std::string& user_name, bool remove_flavors);
    outcome_t<bool> fix_max_files();
    // Never answered: returns once the helper has taken the request, or the reason it is not known to have.
    [[nodiscard]] std::optional<call_error_t> restart(const std::string& bundle_path);
    outcome_t<bool> reboot(const std::string& user_name, const std::string& password);
    outcome_t<bool> start_service(const std::string& qv_namespace);
    outcome_t<bool> is_service_installed(const std::string& qv_namespace);
    outcome_t<bool> is_service_disabled(const std::string& qv_namespace);
    outcome_t<bool> is_service_run_at_load(const std::string& qv_namespace);
    outcome_t<bool> set_tray_enabled(const string_arg_t& text, bool enabled, const string_arg_t& bundle_path);
    outcome_t<bool> quit_service(const std::string& qv_namespace);
    outcome_t<bool> fix_config_permissions(const std::string& qv_namespace);
    outcome_t<bool> check_global_settings_auth(const bytes_t& auth);
    outcome_t<std::int32_t> set_darkwake_mode(std::int32_t mode);
    outcome_t<bool> is_autostart_enabled(const std::string& qv_namespace);
    outcome_t<bool> set_autostart_enabled(bool enabled, const std::string& qv_namespace);

    [[nodiscard]] platform::xpc::remote_connection_t& connection() { return *connection_; }

private:
    explicit helper_client_t(std::unique_ptr<platform::xpc::remote_connection_t> connection,
                             std::chrono::milliseconds timeout)
        : connection_(std::move(connection)), timeout_(timeout) {}

    template <typename T>
    outcome_t<T> typed(core::request_id_t id, const std::vector<value_t>& arguments);

    std::unique_ptr<platform::xpc::remote_connection_t> connection_;
    std::chrono::milliseconds timeout_;
};

// The calling process's own external authorization form; empty when it cannot be made.
[[nodiscard]] bytes_t own_authorization_form();

}  // namespace client
