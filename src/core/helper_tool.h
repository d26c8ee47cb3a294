#pragma once
// The helper's one service object: the listener's delegate, the exported object of every admitted
// connection, the list of active connections and the idle exit. Its request handlers are defined in the
// folder of their subsystem (core, auth, install, control, ipc).

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/owned_fd.h"
#include "platform/wall_clock.h"
#include "support/trace.h"

namespace platform {
class authorization_services_t;
class workspace_t;
}  // namespace platform
namespace platform::xpc {
class connection_t;
class listener_t;
}  // namespace platform::xpc
namespace support {
class string_t;
}  // namespace support
namespace install {
class namespace_names_t;
}  // namespace install

namespace core {

template <typename T>
using reply_t = std::function<void(T)>;
using string_arg_t = std::optional<std::string>;
using data_arg_t = std::optional<std::vector<std::uint8_t>>;

// The process's open-files limits, as getrlimit(RLIMIT_NOFILE) reports them.
struct open_files_limit_t {
    std::uint64_t soft = 0;
    std::uint64_t hard = 0;
};
// Either the limits or the errno of the failed query.
struct open_files_query_t {
    std::optional<open_files_limit_t> limits;
    int error = 0;
};

// The real query: getrlimit, with RLIM_INFINITY reported as the largest signed 64-bit value.
[[nodiscard]] open_files_query_t query_process_open_files_limit();

// What the composition root hands to the helper.
struct helper_dependencies_t {
    // The helper's embedded information list (CFBundleIdentifier, CFBundleVersion, SMAuthorizedClients).
    // Kept alive by the composition root for the helper's whole life.
    const platform::bundle_t* main_bundle = nullptr;
    const platform::wall_clock_t* clock = &platform::system_wall_clock();
    // Reads the open-files limits; the real getrlimit unless a test injects others.
    std::function<open_files_query_t()> query_open_files_limit = query_process_open_files_limit;
    // Creates the listener for the service name; absent in tests that only drive the run loop.
    std::function<std::unique_ptr<platform::xpc::listener_t>(const std::string& service_name)> make_listener;
    // Authorization Services and the workspace; kept alive by the composition root.
    platform::authorization_services_t* authorization = nullptr;
    platform::workspace_t* workspace = nullptr;
    // The last path component of the process's argument 0: the helper's own executable name.
    std::string own_executable_name;
    // A stop signal that has arrived (SIGTERM, SIGINT), taken without waiting; none when empty.
    std::function<std::optional<int>()> take_stop_signal;
};

// The error object of a refused authorization check: a status of Authorization Services (or -50).
struct authorization_error_t {
    std::int32_t code = 0;
    // As an NSError in NSOSStatusErrorDomain would describe itself.
    [[nodiscard]] std::string description() const;
};

// Which rule a check applies to its right: the rights database's, or, for a right that the request
// removes once the check has passed, the rule `default` that the database will then apply.
enum class right_rule_t { from_database, as_removed };

class helper_tool_t : public std::enable_shared_from_this<helper_tool_t> {
public:
    // The idle exit: no client left and the last admission at least this long ago.
    static constexpr double kIdleSeconds = 10.0;

    explicit helper_tool_t(helper_dependencies_t dependencies);
    ~helper_tool_t();
    helper_tool_t(const helper_tool_t&) = delete;
    helper_tool_t& operator=(const helper_tool_t&) = delete;

    // Resumes the listener, runs the open-files check once on its own thread and turns one-second slices
    // until the exit test passes or a stop signal has come; then closes the listener (and its socket file).
    void run();
    // False when the listener could not be created: the helper would serve nobody.
    [[nodiscard]] bool listening() const { return _listener != nullptr; }
    // The exit test made before each slice.
    [[nodiscard]] bool idle_exit_due() const;

    [[nodiscard]] bool canQuit() const { return _canQuit.load(); }
    void setCanQuit(bool value) { _canQuit.store(value); }
    [[nodiscard]] double lastAccess() const { return _lastAccess.load(); }
    void setLastAccess(double value) { _lastAccess.store(value); }
    // The namespace of the latest request that stored one; requests form their names from their own.
    [[nodiscard]] std::optional<std::string> qvNamespace() const;
    void setQvNamespace(std::string value);

    [[nodiscard]] std::size_t active_connection_count() const;
    // The peers' process identifiers, read under the helper's lock.
    [[nodiscard]] std::vector<pid_t> active_connection_pids() const;

    [[nodiscard]] const platform::bundle_t& main_bundle() const { return *deps_.main_bundle; }
    [[nodiscard]] const platform::wall_clock_t& clock() const { return *deps_.clock; }
    [[nodiscard]] support::trace_t& trace() { return _trace; }

    // listener:shouldAcceptNewConnection:. The connection may be null, as for a nil connection object.
    [[nodiscard]] bool listener_should_accept_new_connection(
        const std::shared_ptr<platform::xpc::connection_t>& connection);

    // Requests, in declaration order.
    void get_version_with_reply(const reply_t<string_arg_t>& reply);
    void install_quorvix_service_with(const data_arg_t& auth_data, const string_arg_t& bundle_path,
                                      const string_arg_t& qv_namespace, const string_arg_t& user_config,
                                      const reply_t<bool>& reply);
    void install_quorvix_with_auth_data(const data_arg_t& auth_data, const string_arg_t& bundle_path,
                                        const string_arg_t& sysconfig_path, const string_arg_t& qv_namespace,
                                        const string_arg_t& user_name, signed char remove_flavors,
                                        const reply_t<bool>& reply);
    void uninstall_quorvix_with_auth_data(const data_arg_t& auth_data, const string_arg_t& bundle_path,
                                          const string_arg_t& sysconfig_path,
                                          const string_arg_t& qv_namespace, const string_arg_t& user_name,
                                          signed char remove_flavors, const reply_t<bool>& reply);
    // Also run once at start-up without a reply block.
    void fixOSMaxFilesIfNeedAndReply(const reply_t<bool>& reply);
    void restart_quorvix_with_bundle_path(const string_arg_t& bundle_path, const reply_t<bool>& reply);
    void reboot_computer_for_username(const string_arg_t& user_name, const string_arg_t& password,
                                      const reply_t<bool>& reply);
    void start_service_with_namespace(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void is_service_installed_with_namespace(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void is_service_disabled_with_namespace(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void is_service_run_at_load_with_namespace(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void set_tray_enabled(const string_arg_t& text, bool enabled, const string_arg_t& bundle_path,
                          const reply_t<bool>& reply);
    void quit_service(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void fix_config_permissions(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void check_global_settings_auth(const data_arg_t& auth_data, const reply_t<bool>& reply);
    void set_darkwake_mode(std::int32_t mode, const reply_t<std::int32_t>& reply);
    void isAutostartEnabledForNamespace(const string_arg_t& qv_namespace, const reply_t<bool>& reply);
    void setAutostartEnabled(bool enabled, const string_arg_t& qv_namespace, const reply_t<bool>& reply);

    // Internal steps. Those that form names take them from the request's own namespace, never from the
    // shared qvNamespace, which another connection may change meanwhile.
    void _hackOSMaxFiles();

    // Authorization.
    void _resetAuthDB();
    [[nodiscard]] std::optional<authorization_error_t> check_authorization(
        const data_arg_t& data, std::string_view selector, right_rule_t rule = right_rule_t::from_database);

    // Names, bundles and versions.
    [[nodiscard]] static bool _validateQVNamespace(const string_arg_t& qv_namespace);
    [[nodiscard]] std::optional<std::string> _appVersionAtPath(const std::string& bundle_path) const;
    [[nodiscard]] std::string app_bundle() const;

    // The application's code: the requirement of the helper's own SMAuthorizedClients (its last element),
    // absent when missing or not text; and the executable of the opened bundle `bundle` (at `bundle_path`),
    // opened below it without following a link and checked to satisfy that requirement. Invalid, after an
    // error record that says why, when it does not.
    [[nodiscard]] std::optional<std::string> client_requirement() const;
    [[nodiscard]] platform::owned_fd_t _openClientExecutable(int bundle, const std::string& bundle_path);

    // Job files.
    [[nodiscard]] bool _createPlist(const std::string& path, const platform::property_list_t& definition);
    [[nodiscard]] bool _create_service_for_exe_path(const install::namespace_names_t& names,
                                                    const std::string& exe_path);
    [[nodiscard]] bool _create_agent_for_exe_path(const install::namespace_names_t& names,
                                                  const std::string& exe_path);

    // Global configuration.
    void _migrateToGlobalConfigFrom(const install::namespace_names_t& names, const string_arg_t& source_dir);
    [[nodiscard]] bool _fixGlobalConfigPermissions(const install::namespace_names_t& names);
    [[nodiscard]] static bool _verifyDir(const std::string& dir, const std::vector<std::string>& file_names);
    void _createGlobalTraceIfNeedFor(const install::namespace_names_t& names);

    // Application start, sweep of job files, remains of earlier versions.
    [[nodiscard]] bool _start_app_at_path(const std::string& bundle_path);
    void _remove_all_launch_agents_and_daemons();
    void _remove_historical_remains(const install::namespace_names_t& names);

    // Shared memory of an application version.
    void cleanSharedMemory(const string_arg_t& version);
    void _cleanSHM(const support::string_t& family_base);

private:
    helper_dependencies_t deps_;
    support::trace_t _trace;
    std::atomic<bool> _canQuit{false};
    std::unique_ptr<platform::xpc::listener_t> _listener;
    mutable std::recursive_mutex _lock;  // guards _activeConnections
    std::vector<std::shared_ptr<platform::xpc::connection_t>> _activeConnections;
    std::atomic<double> _lastAccess{0.0};
    // Shared by every connection; guarded so that concurrent stores are not a data race.
    mutable std::mutex _namespace_lock;
    std::optional<std::string> _qvNamespace;
};

}  // namespace core
