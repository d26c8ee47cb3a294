#pragma once
// How the install requests read the bundle path a client sends: its last component as the system's
// path functions take it, and the test that it names an application bundle.

#include <optional>
#include <string>
#include <string_view>

namespace install {

// The last component, trailing slashes ignored: "/Volumes/Q/Quorvix.app/" -> "Quorvix.app"; "/" stays "/".
[[nodiscard]] std::string last_path_component(std::string_view path);

// Whether the last component ends in ".app", letter case as given: "Quorvix.APP" does not.
[[nodiscard]] bool names_application_bundle(std::string_view path);

// The executable inside a bundle: <bundle>/Contents/MacOS/Quorvix.
[[nodiscard]] std::string bundle_executable(std::string_view bundle_path);

// A trace argument for text a client may leave out.
[[nodiscard]] inline const char* or_null(const std::optional<std::string>& text) {
    return text ? text->c_str() : "(null)";
}

}  // namespace install
