#pragma once
// Every system tool the helper runs, by its fixed path on the target system. Code that runs a tool takes
// its path from this table, so the table is the whole list: the start-up check walks it, and so do the
// test fixtures that fake the tools.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace commands {

enum class system_tool_t : std::uint8_t {
    launchctl,
    chmod,
    chown,
    xattr,
    ps,
    hdiutil,
    security,
    shutdown,
    fdesetup,
    sysctl,
    sh,
    tccutil,
    dns_sd,
};

struct system_tool_spec_t {
    system_tool_t id;
    std::string_view path;
    // False for the tools of catalogue operations that no request uses; a host may lack those.
    bool run_by_requests;
};

inline constexpr std::array<system_tool_spec_t, 13> kSystemTools = {{
    {system_tool_t::launchctl, "/bin/launchctl", true},
    {system_tool_t::chmod, "/bin/chmod", true},
    {system_tool_t::chown, "/usr/sbin/chown", true},
    {system_tool_t::xattr, "/usr/bin/xattr", true},
    {system_tool_t::ps, "/bin/ps", true},
    {system_tool_t::hdiutil, "/usr/bin/hdiutil", true},
    {system_tool_t::security, "/usr/bin/security", true},
    {system_tool_t::shutdown, "/sbin/shutdown", true},
    {system_tool_t::fdesetup, "/usr/bin/fdesetup", true},
    {system_tool_t::sysctl, "/usr/sbin/sysctl", true},
    {system_tool_t::sh, "/bin/sh", false},
    {system_tool_t::tccutil, "/usr/bin/tccutil", false},
    {system_tool_t::dns_sd, "/usr/bin/dns-sd", false},
}};

// The table is indexed by id: each row must sit at its own position.
static_assert([] {
    for (std::size_t i = 0; i < kSystemTools.size(); ++i) {
        if (static_cast<std::size_t>(kSystemTools[i].id) != i) {
            return false;
        }
    }
    return true;
}());

// The tool's path under the system root.
[[nodiscard]] std::string tool_path(system_tool_t tool);

// The tools that requests run and that are not an executable file under the system root, in table order.
[[nodiscard]] std::vector<std::string> missing_system_tools();

}  // namespace commands
