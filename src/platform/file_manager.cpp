#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/file_error.h"
#include "platform/file_io.h"
#include "platform/owned_fd.h"

namespace platform::file_manager {
namespace {

constexpr mode_t kDirectoryMode = 0755;

struct directory_closer_t {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// mkdir that accepts an existing directory (or a link to one) when asked to.
int make_directory(const std::string& path, bool accept_existing) {
    if (::mkdir(path.c_str(), kDirectoryMode) == 0) {
        return 0;
    }
    const int error = errno;
    if (error == EEXIST && accept_existing) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return 0;
        }
    }
    return error;
}

bool writable_beyond_root(const struct stat& info) {
    return info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Walks an absolute path from "/" and names the first item that a user other than root owns or may write
// into. A sticky directory open to all (like /tmp) only counts when the next item is not root's: others
// may add entries there but cannot move root's aside.
std::optional<std::string> first_changeable(const std::string& path) {
    if (!path.starts_with('/')) {
        return path;
    }
    struct stat parent {};
    if (::lstat("/", &parent) != 0) {
        return std::string("/");
    }
    std::string parent_path = "/";
    for (std::size_t at = 1; at <= path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end == at) {
            ++at;
            continue;
        }
        const std::string item_path = path.substr(0, end);
        struct stat item {};
        if (::lstat(item_path.c_str(), &item) != 0) {
            return item_path;
        }
        const bool sticky_guards_item = (parent.st_mode & S_ISVTX) != 0 && item.st_uid == 0;
        if (!S_ISLNK(parent.st_mode) &&
            (parent.st_uid != 0 || (writable_beyond_root(parent) && !sticky_guards_item))) {
            return parent_path;
        }
        parent = item;
        parent_path = item_path;
        at = end + 1;
    }
    // The item itself, unless it is a link: a link's own mode means nothing, its parent was looked at.
    if (!S_ISLNK(parent.st_mode) && writable_beyond_root(parent)) {
        return parent_path;
    }
    return std::nullopt;
}

}  // namespace

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_directory_itself(const std::string& path) {
    struct stat info {};
    return ::lstat(without_trailing_slashes(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_link(const std::string& path) {
    struct stat info {};
    return ::lstat(without_trailing_slashes(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<std::string> changeable_by_others(const std::string& path) {
    const std::string literal = without_trailing_slashes(path);
    char* resolved = ::realpath(literal.c_str(), nullptr);
    if (resolved == nullptr) {
        return literal;
    }
    const std::string real(resolved);
    std::free(resolved);
    // The path as given, whose links could be replaced through their parents, and the path they lead to.
    for (const std::string* walked : {&literal, &real}) {
        if (auto found = first_changeable(*walked)) {
            return found;
        }
    }
    return std::nullopt;
}

file_result_t remove_item(const std::string& requested_path) {
    const std::string path = without_trailing_slashes(requested_path);
    struct stat info {};
    if (path.empty() || ::lstat(path.c_str(), &info) != 0) {
        return failure("remove", requested_path, path.empty() ? ENOENT : errno);
    }
    // remove_all looks at the item itself, never through a symbolic link, at every level.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) {
        return failure("remove", requested_path, error.value());
    }
    return {};
}

file_result_t create_directory(const std::string& requested_path, bool with_intermediates) {
    const std::string path = without_trailing_slashes(requested_path);
    if (path.empty()) {
        return failure("create directory", requested_path, ENOENT);
    }
    if (!with_intermediates) {
        const int error = make_directory(path, false);
        return error == 0 ? file_result_t{} : failure("create directory", requested_path, error);
    }
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') {
            continue;
        }
        const std::string parent = path.substr(0, slash);
        if (const int error = make_directory(parent, true); error != 0) {
            return failure("create directory", parent, error);
        }
    }
    const int error = make_directory(path, true);
    return error == 0 ? file_result_t{} : failure("create directory", requested_path, error);
}

file_result_t create_file(const std::string& requested_path) {
    const std::string path = without_trailing_slashes(requested_path);
    // Replaced through a rename, so a link planted at the path is replaced itself, never its target.
    if (path.empty() || !write_file_atomically(path, {})) {
        return failure("create file", requested_path, path.empty() ? ENOENT : errno);
    }
    return {};
}

std::optional<std::vector<std::string>> list_directory(const std::string& path) {
    const owned_fd_t directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    if (!directory.valid()) {
        return std::nullopt;
    }
    return list_directory_at(directory.get());
}

std::optional<std::vector<std::string>> list_directory_at(int directory) {
    // A listing through a descriptor of its own, so that the one given stays open for the caller.
    const int copy = ::dup(directory);
    const std::unique_ptr<DIR, directory_closer_t> listing(copy < 0 ? nullptr : ::fdopendir(copy));
    if (!listing) {
        if (copy >= 0) {
            ::close(copy);
        }
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return std::nullopt;
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace platform::file_manager
