#pragma once
// The catalogue of system commands. Tools run by absolute path under the system root, through task_t.
// A tool that cannot be started raises launch_error; every other failure is a result.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace commands {

class ExternalCommands {
public:
    ExternalCommands() = delete;

    // launchd and job files.
    [[nodiscard]] static bool launchd_bootstrap(const std::string& job_file);
    [[nodiscard]] static bool launchd_bootout(const std::string& job_file);
    [[nodiscard]] static bool launchd_start(const std::string& label);
    [[nodiscard]] static bool launchd_stop(const std::string& label);
    // A number object (boolean, integer or real) under the key; absent otherwise.
    [[nodiscard]] static std::optional<double> _readPlistValue(const std::string& path, std::string_view key);
    // Rewrites an existing dictionary file atomically as XML with the key set to the boolean.
    [[nodiscard]] static bool _modifyPlist(const std::string& path, bool value, std::string_view key);
    [[nodiscard]] static bool launchd_is_enabled(const std::string& job_file);
    [[nodiscard]] static bool launchd_is_run_at_load(const std::string& job_file);
    [[nodiscard]] static bool launchd_set_enabled(const std::string& job_file, bool enabled);
    [[nodiscard]] static bool launchd_set_runatload(const std::string& job_file, bool run_at_load);

    // Ownership, permissions, attributes.
    [[nodiscard]] static bool chmod(const std::string& path, std::uint16_t mode, bool recursively);
    [[nodiscard]] static bool chown(const std::string& path, const std::string& owner,
                                    const std::string& group, bool recursively);
    [[nodiscard]] static bool removeOpenWarningFromQuorvix(const std::string& bundle_path);
    static constexpr std::uint32_t kNoIdentifier = 0xFFFFFFFFu;
    [[nodiscard]] static std::uint32_t uid(const std::string& user_name);
    [[nodiscard]] static std::uint32_t gid(const std::string& group_name);

    // Processes. Absent bundle identifier: every flavor; absent exception list: spare none.
    [[nodiscard]] static bool kill_all_processes(const std::optional<std::string>& bundle_identifier,
                                                 const std::optional<std::vector<pid_t>>& except, bool with9);

    // Other system commands.
    [[nodiscard]] static std::vector<std::string> resolveFilesInDirectory(const std::string& directory,
                                                                          const std::string& wildcard);
    [[nodiscard]] static bool ejectQuorvixDMG(const std::string& mount_point);
    [[nodiscard]] static bool ls_register_app(const std::string& bundle_path);
    [[nodiscard]] static bool remove_authorization(const std::string& right);
    [[nodiscard]] static bool force_reboot();
    [[nodiscard]] static bool forceRebootUser(const std::string& user, const std::string& password);
    // The registry is the directory `name` in `parent`; neither level may be a link. Answers whether both
    // could be opened.
    [[nodiscard]] static bool cleanup_shared_memory(const std::string& parent, const std::string& name);
    [[nodiscard]] static bool detect_sleep_proxy(std::int32_t timeout_seconds);
    static void relaunchQuorvix();
    [[nodiscard]] static bool reset_system_permissions();
    [[nodiscard]] static std::optional<std::string> getSupportQueueString();
    [[nodiscard]] static bool removeSupportQueueAttr();
};

}  // namespace commands
