#include "platform/main_bundle.h"

namespace platform {
namespace {

// Written once by the composition root before any other thread starts, read-only afterwards.
std::optional<bundle_t>& main_bundle_storage() {
    static std::optional<bundle_t> bundle;
    return bundle;
}

}  // namespace

void set_main_bundle(bundle_t bundle) {
    main_bundle_storage() = std::move(bundle);
}

const std::optional<bundle_t>& main_bundle() {
    return main_bundle_storage();
}

}  // namespace platform
