// The configuration shared by every user of the machine, "/etc/<N>", and the system-wide trace file
// "/var/log/<N>.trace": created, first filled from the application's own configuration, made writable
// for the group staff (the configuration) and for everyone (the trace file).
#include <sys/stat.h>

#include <array>

#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "install/namespace_names.h"
#include "platform/file_manager.h"
#include "platform/user_files.h"
#include "support/trace_directory.h"

namespace core {
namespace {

namespace files = platform::file_manager;

// A directory holds a configuration only when both are present.
const std::vector<std::string> kConfigurationFiles = {"system.conf", "service.conf"};
// Copied along with a configuration, in this order; the last one is not required.
constexpr std::array<const char*, 3> kCopiedFiles = {"system.conf", "service.conf", "connection_trace.txt"};

constexpr std::uint16_t kConfigFileMode = 0664;
constexpr std::uint16_t kConfigDirMode = 0775;
constexpr std::uint16_t kTraceFileMode = 0666;

std::string joined(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

// The empty namespace names "/etc" itself; requests refuse it, and these steps never act on it either.
bool names_own_directory(support::trace_t& trace, const install::namespace_names_t& names) {
    if (names.qv_namespace().empty()) {
        trace_error(trace, "The empty namespace names no configuration directory; nothing changed");
        return false;
    }
    return true;
}

}  // namespace

bool helper_tool_t::_verifyDir(const std::string& dir, const std::vector<std::string>& file_names) {
    for (const auto& name : file_names) {
        if (!files::exists(joined(dir, name))) {
            return false;
        }
    }
    return true;
}

void helper_tool_t::_migrateToGlobalConfigFrom(const install::namespace_names_t& names,
                                               const string_arg_t& source_dir) {
    if (!names_own_directory(_trace, names)) {
        return;
    }
    const std::string global_dir = names.global_config_dir();
    // 1. Create G; on failure the later steps still run and report for themselves.
    if (const auto created = files::create_directory(global_dir, true); !created) {
        trace_error(_trace, "Cannot create %s", support::client_text_t(global_dir).c_str());
    }
    if (_verifyDir(global_dir, kConfigurationFiles)) {
        // 2. A configuration already in place is never overwritten.
        trace_warning(_trace, "The global configuration already exists; nothing copied");
    } else if (source_dir && _verifyDir(*source_dir, kConfigurationFiles)) {
        // 3. Copy what is missing; a file already in G stays as it is. Only plain files are taken: a link
        // would leave root's configuration pointing wherever its maker chose.
        for (const char* name : kCopiedFiles) {
            (void)files::copy_item(joined(*source_dir, name), joined(global_dir, name),
                                   files::item_kind_t::regular_file);
        }
        trace_info(_trace, "Copied the configuration into the global configuration directory");
    } else {
        // 4.
        trace_warning(_trace, "No configuration to migrate into the global configuration directory");
    }
    // 5.
    (void)_fixGlobalConfigPermissions(names);
}

bool helper_tool_t::_fixGlobalConfigPermissions(const install::namespace_names_t& names) {
    if (!names_own_directory(_trace, names)) {
        return false;
    }
    const std::string global_dir = names.global_config_dir();
    // A directory of its own, walked from what is opened here: a file here is some other program's.
    const platform::owned_fd_t directory = platform::open_directory(global_dir);
    if (!directory.valid()) {
        trace_error(_trace, "%s is not a directory; its owner and modes are left alone", global_dir.c_str());
        return false;
    }
    // 1.
    trace_info(_trace, "Setting the owner and modes of the global configuration");
    // 2.-4. One walk: G 0775, everything inside 0664 (a subdirectory so loses its search permission), all
    // owned by root:staff. An unknown group is left as it is, and the step fails.
    const gid_t staff = commands::ExternalCommands::gid("staff");
    const bool walked =
        files::set_tree_attributes(directory.get(), global_dir, {0, staff, kConfigDirMode, kConfigFileMode})
            .ok();
    // 5.
    return walked && staff != commands::ExternalCommands::kNoIdentifier;
}

void helper_tool_t::_createGlobalTraceIfNeedFor(const install::namespace_names_t& names) {
    // 1.
    const std::string trace_file = names.global_trace_file();
    // 2. An existing trace file keeps its content.
    if (!files::exists(trace_file)) {
        trace_info(_trace, "Creating the global trace file");
        if (const auto created = files::create_file(trace_file); !created) {
            trace_error(_trace, "Cannot create %s", support::client_text_t(trace_file).c_str());
        }
    }
    // 3. Opened to everyone only when it is a file of its own: not a link, not a second name of another
    // file, and not the helper's own trace (the namespace "quorvix" names that), which only root may open.
    struct stat info {};
    if (::lstat(trace_file.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode) || info.st_nlink != 1) {
            trace_error(_trace, "%s is not a plain file; its mode is left alone", trace_file.c_str());
            return;
        }
        if (support::is_trace_file(info)) {
            trace_error(_trace, "%s is the helper's own trace file; its mode is left alone",
                        trace_file.c_str());
            return;
        }
    }
    (void)commands::ExternalCommands::chmod(trace_file, kTraceFileMode, false);
}

}  // namespace core
