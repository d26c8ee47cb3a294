#include "support/trace_directory.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/console_user.h"
#include "platform/owned_fd.h"
#include "platform/system_root.h"
#include "platform/user_files.h"
#include "support/product.h"
#include "support/trace_log.h"

namespace support {
namespace {

constexpr char kUnknownUser[] = "<unknown>";

// Opens (creating, never truncating) and closes `name` in `directory`; true when that worked.
[[nodiscard]] bool probe_file(int directory, const char* name) {
    const int descriptor = open_private_trace_file_at(directory, name);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    return true;
}

// Made when missing, and taken only when it is a real directory of ours, as the descriptor opened on it
// shows: the base may be a shared place such as /tmp, where another user could have prepared it.
[[nodiscard]] platform::owned_fd_t open_private_directory(const string_t& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return {};
    }
    platform::owned_fd_t directory = platform::open_directory(path.c_str());
    struct stat info {};
    if (!directory.valid() || fstat(directory.get(), &info) != 0 || info.st_uid != geteuid()) {
        return {};
    }
    return directory;
}

[[noreturn]] void give_up(const string_t& directory) {
    syslog(LOG_ERR, "Error: can't create trace file at %s", directory.c_str());
    std::abort();
}

}  // namespace

string_t console_user() {
    const std::optional<std::string> name = platform::console_user_name();
    return name ? string_t(std::string_view(*name)) : string_t(kUnknownUser);
}

string_t user_home_directory() {
    if (getuid() != 0) {
        return string_t(std::string_view(platform::current_user_home_directory()));
    }
    const std::optional<std::string> home = platform::home_directory_for_user(console_user().c_str());
    return home ? string_t(std::string_view(*home)) : string_t();
}

string_t choose_trace_directory(const string_t& log_directory, const string_t& home,
                                const string_t& last_base) {
    if (probe_file(AT_FDCWD, (log_directory + kProductName + ".trace").c_str())) {
        return log_directory;
    }
    // For root the first base is the console user's home, whose directory of ours that user may own:
    // refused there, the next base is tried.
    const char* home_variable = std::getenv("HOME");
    const string_t bases[] = {home, home_variable != nullptr ? home_variable : "", last_base};
    string_t directory;
    for (const string_t& base : bases) {
        if (base.empty()) {
            continue;
        }
        directory = base + "/." + kProductName;
        const platform::owned_fd_t opened = open_private_directory(directory);
        if (opened.valid() && probe_file(opened.get(), (string_t(".") + kProductName + ".trace").c_str())) {
            return directory;
        }
    }
    give_up(directory);
}

const string_t& trace_directory() {
    static const string_t directory = choose_trace_directory(
        string_t(std::string_view(platform::system_path("/var/log/"))), user_home_directory());
    return directory;
}

bool is_trace_file(const struct stat& info) {
    trace_log_t& log = trace_log();
    std::lock_guard guard(log.lock);
    struct stat own {};
    const bool held = log.descriptor >= 0 && log.file_device == info.st_dev && log.file_inode == info.st_ino;
    const bool named = !log.path.empty() && stat(log.path.c_str(), &own) == 0 && own.st_dev == info.st_dev &&
                       own.st_ino == info.st_ino;
    return held || named;
}

string_t trace_file_path(const string_t& file_name) {
    if (file_name.empty()) {
        return trace_directory();
    }
    return trace_directory() + "/" + file_name;
}

}  // namespace support
