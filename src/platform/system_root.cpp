#include "platform/system_root.h"

#include <sys/stat.h>

#include <cstdlib>

namespace platform {
namespace {

std::string& root_storage() {
    static std::string root;
    return root;
}

}  // namespace

std::optional<std::string> load_system_root_from_environment() {
    const char* value = std::getenv("QUORVIX_SYSTEM_ROOT");
    if (value == nullptr || *value == '\0') {
        set_system_root({});
        return std::nullopt;
    }
    std::string root(value);
    if (root.front() != '/') {
        return "QUORVIX_SYSTEM_ROOT must be an absolute path: " + root;
    }
    struct stat info {};
    if (stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return "QUORVIX_SYSTEM_ROOT is not an existing directory: " + root;
    }
    set_system_root(std::move(root));
    return std::nullopt;
}

void set_system_root(std::string root) {
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    root_storage() = std::move(root);
}

const std::string& system_root() {
    return root_storage();
}

std::string system_path(std::string_view absolute_path) {
    std::string path = root_storage();
    path.append(absolute_path);
    return path;
}

}  // namespace platform
