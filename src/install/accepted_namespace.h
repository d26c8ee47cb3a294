#pragma once
// The one place where a validating request decides whether a namespace names an installation. The empty
// string matches the namespace form but names none: its configuration directory would be "/etc" itself.

#include <optional>
#include <string>

#include "install/namespace_names.h"

namespace install {

// The names of a namespace that passes validation and is not empty; absent for nil, empty or invalid.
// A request refuses an absent result exactly as it refuses an invalid namespace.
[[nodiscard]] std::optional<namespace_names_t> accepted_namespace(
    const std::optional<std::string>& qv_namespace);

}  // namespace install
