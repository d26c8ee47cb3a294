#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/file_error.h"
#include "platform/file_io.h"

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

}  // namespace

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
    const std::unique_ptr<DIR, directory_closer_t> directory(::opendir(path.c_str()));
    if (!directory) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(directory.get());
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
