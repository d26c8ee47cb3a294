#pragma once
// Stand-in for the real "/": every fixed system location is formed here, under an optional sandbox root.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Reads QUORVIX_SYSTEM_ROOT (an existing absolute directory) and makes it the root. Unset or empty
// means the real "/". Returns a message for the operator when the value is unusable.
[[nodiscard]] std::optional<std::string> load_system_root_from_environment();

// Sets the root directly; for sandbox builders and the loader above. Call before any thread starts.
void set_system_root(std::string root);

// The root without a trailing slash; empty in production.
[[nodiscard]] const std::string& system_root();

// The fixed absolute path `absolute_path` under the root: "/bin/ps" -> "<root>/bin/ps".
[[nodiscard]] std::string system_path(std::string_view absolute_path);

}  // namespace platform
