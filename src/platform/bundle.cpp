#include "platform/bundle.h"

#include <fcntl.h>

#include "platform/user_files.h"

namespace platform {
namespace {

// Far more than any information list holds.
constexpr std::size_t kLargestInfoList = 1024 * 1024;

}  // namespace

std::optional<bundle_t> bundle_t::open(const std::string& path) {
    const owned_fd_t directory(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        return std::nullopt;
    }
    return open_at(directory.get(), path);
}

std::optional<bundle_t> bundle_t::open_at(int directory, std::string path) {
    const owned_fd_t file = open_regular_file_below(directory, "Contents/Info.plist");
    const auto bytes = file.valid() ? read_to_end(file.get(), kLargestInfoList) : std::nullopt;
    auto info = bytes ? property_list_t::parse(*bytes) : std::nullopt;
    if (!info) {
        return std::nullopt;
    }
    return from_info(std::move(path), std::move(*info));
}

std::optional<bundle_t> bundle_t::from_info(std::string path, property_list_t info) {
    if (info.root().type() != plist_type_t::dictionary) {
        return std::nullopt;
    }
    return bundle_t(std::move(path), std::move(info));
}

std::optional<std::string> bundle_t::identifier() const {
    return string_for_key("CFBundleIdentifier");
}

std::optional<std::string> bundle_t::short_version() const {
    return string_for_key("CFBundleShortVersionString");
}

std::optional<std::string> bundle_t::string_for_key(std::string_view key) const {
    return info_.root().string_for_key(key);
}

}  // namespace platform
