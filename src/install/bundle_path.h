#pragma once
// How the install requests read the bundle path a client sends: its last component as the system's
// path functions take it, and the test that it names an application bundle.

#include <optional>
#include <string>
#include <string_view>

#include "platform/file_manager.h"

namespace install {

// What the install requests give a bundle: owner root and group wheel (group 0 on the target system; the
// same id stands for it here, where no group may bear that name), mode 0755 throughout.
inline constexpr platform::file_manager::tree_attributes_t kInstalledBundleAttributes{0, 0, 0755, 0755};

// The last component, trailing slashes ignored: "/Volumes/Q/Quorvix.app/" -> "Quorvix.app"; "/" stays "/".
[[nodiscard]] std::string last_path_component(std::string_view path);

// Whether the last component ends in ".app", letter case as given: "Quorvix.APP" does not.
[[nodiscard]] bool names_application_bundle(std::string_view path);

// Whether a component of the path is "." or "..": such a path may lead elsewhere than it reads.
[[nodiscard]] bool has_dot_component(std::string_view path);

// Whether `path` is `directory` or lies below it, component by component: "/ApplicationsX/Q.app" does not
// lie below "/Applications". Neither may hold "." or ".." (see has_dot_component).
[[nodiscard]] bool lies_below(std::string_view path, std::string_view directory);

// The executable inside a bundle, relative to it, and as a path: <bundle>/Contents/MacOS/Quorvix.
inline constexpr std::string_view kBundleExecutable = "Contents/MacOS/Quorvix";
[[nodiscard]] std::string bundle_executable(std::string_view bundle_path);

// A trace argument for text a client may leave out.
[[nodiscard]] inline const char* or_null(const std::optional<std::string>& text) {
    return text ? text->c_str() : "(null)";
}

}  // namespace install
