#include "support/trace_directory.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/console_user.h"
#include "platform/system_root.h"
#include "support/product.h"
#include "support/trace_log.h"

namespace support {
namespace {

constexpr char kUnknownUser[] = "<unknown>";

// Opens (creating, never truncating) and closes `path`; true when that worked.
[[nodiscard]] bool probe_file(const string_t& path) {
    const int descriptor = open_private_trace_file(path.c_str());
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    return true;
}

// An existing directory is only taken when it is a real directory of ours: the base may be a shared place
// such as /tmp, where another user could have prepared it.
[[nodiscard]] bool make_private_directory(const string_t& path) {
    if (mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
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
    if (probe_file(log_directory + kProductName + ".trace")) {
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
        if (make_private_directory(directory) && probe_file(directory + "/." + kProductName + ".trace")) {
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

string_t trace_file_path(const string_t& file_name) {
    if (file_name.empty()) {
        return trace_directory();
    }
    return trace_directory() + "/" + file_name;
}

}  // namespace support
