#pragma once
// Stand-in for NSFileManager: std::filesystem and POSIX calls that never follow a symbolic link when
// they remove or copy, and keep links, modes and user attributes when they copy.

#include <sys/types.h>

#include <cstddef>
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
// The item itself, never through a final link.
[[nodiscard]] bool is_directory_itself(const std::string& path);
[[nodiscard]] bool is_link(const std::string& path);
// The first directory on the path, or the item at the path itself, that a user other than root could
// change (owns, or may write into), both along the path as given and along the path its links lead to;
// absent when only root can change any of them.
[[nodiscard]] std::optional<std::string> changeable_by_others(const std::string& path);

// A file, a link, or a directory with everything in it. A missing item is a failure.
file_result_t remove_item(const std::string& path);
// What a copy insists its source is. `any` copies whatever lies there, a link as a link.
enum class item_kind_t { any, directory, regular_file };
// Recursive; fails when `to` exists or the source is not of `kind`. Links are copied as links, never
// followed, and modes, times and user attributes are kept, except that the copy never gets a set-id bit
// or write permission for group or others.
file_result_t copy_item(const std::string& from, const std::string& to, item_kind_t kind = item_kind_t::any);
// The deepest tree that the copy and the owner walk take: a bundle nests a dozen levels or so. Each level
// holds at most two descriptors, so neither ever holds more than 64 of those kept for the helper itself.
inline constexpr std::size_t kMaxTreeDepth = 32;

// What set_tree_attributes gives a tree: one owner and group (-1 leaves either as it is, as fchown does),
// the mode of the top directory and the mode of everything below it, directories included.
struct tree_attributes_t {
    uid_t owner;
    gid_t group;
    mode_t top_mode;
    mode_t inner_mode;
};
// chown -R and chmod -R in one walk of our own, on descriptors: the top directory `directory` (opened by
// the caller, see open_directory), then every entry relative to its parent's descriptor without following
// a link. A link gets the owner itself and never a mode; what it points to is never touched. An item that
// is no directory and has more than one name is left as it is: its other name may lie anywhere. Goes on
// past a failure and reports the first; `path` names the top in failures.
file_result_t set_tree_attributes(int directory, const std::string& path,
                                  const tree_attributes_t& attributes);

// With intermediates an existing directory is a success.
file_result_t create_directory(const std::string& path, bool with_intermediates);
// An empty file, replacing an existing one, like createFileAtPath:contents:nil.
file_result_t create_file(const std::string& path);
// The names of the entries directly in the directory, "." and ".." excluded; absent when unreadable.
[[nodiscard]] std::optional<std::vector<std::string>> list_directory(const std::string& path);
// The same for a directory already opened; the descriptor stays the caller's.
[[nodiscard]] std::optional<std::vector<std::string>> list_directory_at(int directory);

}  // namespace platform::file_manager
