#include "install/bundle_path.h"

#include <algorithm>
#include <vector>

namespace install {
namespace {

// The names between slashes; "//" and a trailing slash add none.
std::vector<std::string_view> components_of(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view name = path.substr(0, slash);
        if (!name.empty()) {
            components.push_back(name);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return components;
}

}  // namespace

std::string last_path_component(std::string_view path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string_view::npos) {
        return path.empty() ? std::string() : std::string("/");
    }
    const std::string_view trimmed = path.substr(0, end + 1);
    const auto slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

bool names_application_bundle(std::string_view path) {
    return last_path_component(path).ends_with(".app");
}

bool has_dot_component(std::string_view path) {
    for (const std::string_view name : components_of(path)) {
        if (name == "." || name == "..") {
            return true;
        }
    }
    return false;
}

bool lies_below(std::string_view path, std::string_view directory) {
    if (has_dot_component(path) || has_dot_component(directory)) {
        return false;
    }
    const auto inner = components_of(path);
    const auto outer = components_of(directory);
    return path.starts_with('/') == directory.starts_with('/') && outer.size() <= inner.size() &&
           std::equal(outer.begin(), outer.end(), inner.begin());
}

std::string bundle_executable(std::string_view bundle_path) {
    const auto end = bundle_path.find_last_not_of('/');
    std::string executable(end == std::string_view::npos ? bundle_path.substr(0, 1)
                                                         : bundle_path.substr(0, end + 1));
    if (!executable.empty() && executable != "/") {
        executable += '/';
    }
    return executable.append(kBundleExecutable);
}

}  // namespace install
