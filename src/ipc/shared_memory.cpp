// Removal of the shared-memory objects of one application version and of those its registry names.
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "commands/external_commands.h"
#include "core/helper_tool.h"
#include "platform/system_root.h"
#include "support/identifier_hash.h"
#include "support/product.h"
#include "support/string.h"

namespace core {
namespace {

constexpr std::string_view kFamilySuffixes[] = {"shm", "mtx", "evt_event_mtx"};
constexpr const char* kFixedNames[] = {"nxipcstobjmtx", "nxipcstobjs"};

std::vector<std::string> split_at_dots(const std::string& text) {
    std::vector<std::string> components;
    std::size_t start = 0;
    for (std::size_t dot = text.find('.'); dot != std::string::npos; dot = text.find('.', start)) {
        components.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    components.push_back(text.substr(start));
    return components;
}

// Read as the application reads it when it names its objects: leading white space, an optional sign,
// the leading digits; 0 without any, and a value beyond the int range held at the nearest limit.
std::int32_t leading_integer(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

// The result of every unlink is ignored: an object that does not exist is the normal case.
void unlink_object(const support::string_t& name) {
    const std::string object = support::identifier_hash(support::kProductPrefix, name);
    (void)::shm_unlink(object.c_str());
}

}  // namespace

void helper_tool_t::cleanSharedMemory(const string_arg_t& version) {
    // 1.
    trace_info(_trace, "Cleaning the shared memory of version %s", support::client_text_t(version).c_str());

    // 2. Objects are only named from versions of three components.
    if (!version) {
        return;
    }
    const auto components = split_at_dots(*version);
    if (components.size() != 3) {
        return;
    }

    // 3. A negative component is written as the unsigned value of its bits, as the application does.
    std::array<char, 40> prefix{};
    std::snprintf(prefix.data(), prefix.size(), "%u%u%u_",
                  static_cast<std::uint32_t>(leading_integer(components[0])),
                  static_cast<std::uint32_t>(leading_integer(components[1])),
                  static_cast<std::uint32_t>(leading_integer(components[2])));
    const support::string_t global_base = support::string_t(prefix.data()) + "gsystem";
    const support::string_t local_base = support::string_t(prefix.data()) + "lsystem";

    // 4.
    _cleanSHM(global_base);
    _cleanSHM(local_base);

    // 5.
    for (const char* name : kFixedNames) {
        unlink_object(name);
    }

    // 6.
    trace_info(_trace, "Cleaning the shared-memory registry of %s", support::kProductPrefix);

    // 7. A registry that is missing, unreadable or not a directory of its own is passed over.
    (void)commands::ExternalCommands::cleanup_shared_memory(platform::system_path("/tmp/qv_shm"),
                                                            support::kProductPrefix);
}

void helper_tool_t::_cleanSHM(const support::string_t& family_base) {
    for (const std::string_view suffix : kFamilySuffixes) {
        unlink_object(family_base + "_" + support::string_t(suffix));
    }
}

}  // namespace core
