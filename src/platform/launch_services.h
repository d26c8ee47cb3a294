#pragma once
// Stand-in for LSRegisterURL: an application bundle registered under its identifier in
// <root>/var/db/launchservices.plist (identifier -> bundle path), replaced atomically on every change.

#include <optional>
#include <string>

#include "platform/os_status.h"

namespace platform {

// 0 when the path is a bundle with a readable identifier and the registry was written; otherwise
// kLSApplicationNotFoundErr. A later registration of the same identifier replaces the path.
[[nodiscard]] os_status_t ls_register_url(const std::string& bundle_path, bool update);

// The bundle path registered for the identifier; absent when there is none.
[[nodiscard]] std::optional<std::string> ls_registered_path(const std::string& identifier);

}  // namespace platform
