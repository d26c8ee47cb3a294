#include "support/trace_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/console_user.h"
#include "platform/system_root.h"
#include "support/product.h"

namespace support {
namespace {

constexpr char kUnknownUser[] = "<unknown>";

// Opens (creating, never truncating) and closes `path`; true when that worked.
[[nodiscard]] bool probe_file(const string_t& path) {
    const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
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

string_t choose_trace_directory(const string_t& log_directory, const string_t& home) {
    if (probe_file(log_directory + kProductName + ".trace")) {
        return log_directory;
    }
    string_t base = home;
    if (base.empty()) {
        const char* variable = std::getenv("HOME");
        base = variable != nullptr && *variable != '\0' ? variable : "/tmp";
    }
    const string_t directory = base + "/." + kProductName;
    if (!make_private_directory(directory)) {
        give_up(directory);
    }
    if (!probe_file(directory + "/." + kProductName + ".trace")) {
        give_up(directory);
    }
    return directory;
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
