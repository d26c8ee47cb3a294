#pragma once
// The information and launchd lists built into the helper's executable.

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"

namespace resources {
extern const std::string_view kEmbeddedInfoPlist;
extern const std::string_view kEmbeddedLaunchdPlist;
}  // namespace resources

namespace core {

// The helper's main bundle: its embedded information list, at the executable's path.
[[nodiscard]] std::optional<platform::bundle_t> embedded_main_bundle(std::string executable_path);

}  // namespace core
