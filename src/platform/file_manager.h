#pragma once
// Stand-in for NSFileManager: std::filesystem and POSIX calls that never follow a symbolic link when
// they remove, and keep links, modes and extended attributes when they copy.

#include <optional>
#include <string>
#include <vector>

namespace platform::file_manager {

// The outcome of a change: ok, or the description of what failed (never empty on failure).
struct [[nodiscard]] file_result_t {
    std::string error;
    [[nodiscard]] bool ok() const { return error.empty(); }
    explicit operator bool() const { return ok(); }
};

// Follows symbolic links, like fileExistsAtPath: a dangling link does not exist.
[[nodiscard]] bool exists(const std::string& path);
[[nodiscard]] bool is_directory(const std::string& path);

// A file, a link, or a directory with everything in it. A missing item is a failure.
file_result_t remove_item(const std::string& path);
// Recursive; fails when `to` exists. Links, modes and extended attributes are kept.
file_result_t copy_item(const std::string& from, const std::string& to);
// With intermediates an existing directory is a success.
file_result_t create_directory(const std::string& path, bool with_intermediates);
// An empty file, replacing an existing one, like createFileAtPath:contents:nil.
file_result_t create_file(const std::string& path);
// The names of the entries directly in the directory, "." and ".." excluded; absent when unreadable.
[[nodiscard]] std::optional<std::vector<std::string>> list_directory(const std::string& path);

}  // namespace platform::file_manager
