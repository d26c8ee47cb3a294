#pragma once
// Stand-in for NSBundle: the information dictionary of <bundle>/Contents/Info.plist.

#include <optional>
#include <string>
#include <string_view>

#include "platform/property_list.h"

namespace platform {

class bundle_t {
public:
    // Absent when the path holds no readable Info.plist whose top level is a dictionary. The path may lead
    // through links; below it, Contents/Info.plist is only read when it is a regular file and no name of
    // it is a link (see user_files.h): the path may come from another user's process.
    [[nodiscard]] static std::optional<bundle_t> open(const std::string& path);
    // The same for a bundle directory already opened; `path` is what path() answers.
    [[nodiscard]] static std::optional<bundle_t> open_at(int directory, std::string path);
    // A bundle whose information dictionary is given, such as the helper's embedded one.
    [[nodiscard]] static std::optional<bundle_t> from_info(std::string path, property_list_t info);

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::optional<std::string> identifier() const;     // CFBundleIdentifier
    [[nodiscard]] std::optional<std::string> short_version() const;  // CFBundleShortVersionString
    [[nodiscard]] std::optional<std::string> string_for_key(std::string_view key) const;
    [[nodiscard]] plist_value_t info() const { return info_.root(); }

private:
    bundle_t(std::string path, property_list_t info) : path_(std::move(path)), info_(std::move(info)) {}

    std::string path_;
    property_list_t info_;
};

}  // namespace platform
