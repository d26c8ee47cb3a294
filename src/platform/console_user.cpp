#include "platform/console_user.h"

#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

// The console user's name is converted into 256 bytes: a name of 256 bytes or more does not fit.
constexpr std::size_t kNameLimit = 256;

struct free_deleter_t {
    void operator()(char* text) const noexcept { std::free(text); }
};

// A buffer size for the getpw*_r calls, grown while they answer ERANGE.
std::size_t initial_passwd_buffer_size() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    return suggested > 0 ? static_cast<std::size_t>(suggested) : 1024;
}

template <class Lookup>
std::optional<passwd> find_passwd(std::vector<char>& buffer, Lookup lookup) {
    buffer.resize(initial_passwd_buffer_size());
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1U << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return entry;
    }
}

}  // namespace

std::optional<std::string> console_user_name() {
    char* session_text = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &session_text, &uid) < 0) {
        return std::nullopt;
    }
    const std::unique_ptr<char, free_deleter_t> session(session_text);
    std::vector<char> buffer;
    const std::optional<passwd> entry =
        find_passwd(buffer, [uid](passwd* out, char* data, std::size_t size, passwd** found) {
            return getpwuid_r(uid, out, data, size, found);
        });
    if (!entry || entry->pw_name == nullptr || std::strlen(entry->pw_name) >= kNameLimit) {
        return std::nullopt;
    }
    return std::string(entry->pw_name);
}

std::optional<std::string> home_directory_for_user(const std::string& name) {
    std::vector<char> buffer;
    const std::optional<passwd> entry =
        find_passwd(buffer, [&name](passwd* out, char* data, std::size_t size, passwd** found) {
            return getpwnam_r(name.c_str(), out, data, size, found);
        });
    if (!entry || entry->pw_dir == nullptr) {
        return std::nullopt;
    }
    return std::string(entry->pw_dir);
}

std::string current_user_home_directory() {
    std::vector<char> buffer;
    const std::optional<passwd> entry =
        find_passwd(buffer, [](passwd* out, char* data, std::size_t size, passwd** found) {
            return getpwuid_r(getuid(), out, data, size, found);
        });
    if (entry && entry->pw_dir != nullptr && *entry->pw_dir != '\0') {
        return entry->pw_dir;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "";
}

}  // namespace platform
