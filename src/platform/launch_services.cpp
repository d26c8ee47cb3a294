#include "platform/launch_services.h"

#include <mutex>

#include "platform/bundle.h"
#include "platform/property_list.h"
#include "platform/system_root.h"

namespace platform {
namespace {

// Registrations from different connections run at the same time; the read-modify-write of the registry
// must not lose one of them.
std::mutex& registry_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::string registry_path() {
    return system_path("/var/db/launchservices.plist");
}

// The registry's dictionary; a missing or unreadable registry starts empty, as a fresh database would.
property_list_t load_registry() {
    auto registry = property_list_t::read_file(registry_path());
    if (registry && registry->root().type() == plist_type_t::dictionary) {
        return std::move(*registry);
    }
    return property_list_t::dictionary();
}

}  // namespace

os_status_t ls_register_url(const std::string& bundle_path, bool /*update*/) {
    const auto bundle = bundle_t::open(bundle_path);
    if (!bundle) {
        return kLSApplicationNotFoundErr;
    }
    const auto identifier = bundle->identifier();
    if (!identifier || identifier->empty()) {
        return kLSApplicationNotFoundErr;
    }
    const std::lock_guard guard(registry_mutex());
    property_list_t registry = load_registry();
    registry.set(*identifier, property_list_t::string(bundle_path));
    return registry.write_xml_atomically(registry_path()) ? 0 : kLSApplicationNotFoundErr;
}

std::optional<std::string> ls_registered_path(const std::string& identifier) {
    const std::lock_guard guard(registry_mutex());
    return load_registry().root().string_for_key(identifier);
}

}  // namespace platform
