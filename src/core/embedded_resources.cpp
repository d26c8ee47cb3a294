#include "core/embedded_resources.h"

namespace core {

std::optional<platform::bundle_t> embedded_main_bundle(std::string executable_path) {
    auto info = platform::property_list_t::parse(resources::kEmbeddedInfoPlist);
    if (!info) {
        return std::nullopt;
    }
    return platform::bundle_t::from_info(std::move(executable_path), std::move(*info));
}

}  // namespace core
