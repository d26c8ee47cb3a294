#pragma once
// The one wording of file-manager failures: <operation> "<path>": <system error text>.

#include <cstring>
#include <string>
#include <string_view>

#include "platform/file_manager.h"

namespace platform::file_manager {

[[nodiscard]] inline file_result_t failure(std::string_view operation, const std::string& path,
                                           std::string_view reason) {
    std::string text(operation);
    text += " \"" + path + "\": ";
    text += reason;
    return {std::move(text)};
}

[[nodiscard]] inline file_result_t failure(std::string_view operation, const std::string& path, int error) {
    return failure(operation, path, std::strerror(error));
}

// Trailing slashes make the system follow a final symbolic link, so "link/" would name the directory it
// points to. Items are always meant as named.
[[nodiscard]] inline std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace platform::file_manager
