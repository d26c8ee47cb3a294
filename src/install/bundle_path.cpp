#include "install/bundle_path.h"

namespace install {

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

std::string bundle_executable(std::string_view bundle_path) {
    const auto end = bundle_path.find_last_not_of('/');
    std::string executable(end == std::string_view::npos ? bundle_path.substr(0, 1)
                                                         : bundle_path.substr(0, end + 1));
    if (!executable.empty() && executable != "/") {
        executable += '/';
    }
    return executable + "Contents/MacOS/Quorvix";
}

}  // namespace install
