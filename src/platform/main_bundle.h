#pragma once
// Stand-in for [NSBundle mainBundle]: set once by the composition root (the helper's embedded
// information list), read by whoever needs the process's own identity.

#include <optional>

#include "platform/bundle.h"

namespace platform {

void set_main_bundle(bundle_t bundle);
// Absent until set.
[[nodiscard]] const std::optional<bundle_t>& main_bundle();

}  // namespace platform
