#pragma once
// Stand-in for SCDynamicStoreCopyConsoleUser (sd-login: the user of seat0's active session) and for
// NSHomeDirectory / NSHomeDirectoryForUser.

#include <optional>
#include <string>

namespace platform {

// The console user's name; absent when no session is active on seat0 or the name is 256 bytes or longer.
[[nodiscard]] std::optional<std::string> console_user_name();

// The home directory of the named user; absent when the system knows no such user.
[[nodiscard]] std::optional<std::string> home_directory_for_user(const std::string& name);

// The home directory of the process's user.
[[nodiscard]] std::string current_user_home_directory();

}  // namespace platform
