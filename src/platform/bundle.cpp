#include "platform/bundle.h"

namespace platform {

std::optional<bundle_t> bundle_t::open(const std::string& path) {
    auto info = property_list_t::read_file(path + "/Contents/Info.plist");
    if (!info) {
        return std::nullopt;
    }
    return from_info(path, std::move(*info));
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
