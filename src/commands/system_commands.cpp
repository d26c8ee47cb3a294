// Disk images, Launch Services, the authorization database, restarts and the sleep-proxy probe.

#include <algorithm>
#include <string_view>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "platform/launch_services.h"
#include "platform/property_list.h"
#include "support/trace.h"

namespace commands {
namespace {

const char* reboot_trace_name() {
    return "ExternalCommands.reboot";
}

constexpr std::string_view kSleepProxyService = "_sleep-proxy._udp";

// Splits at every line-end character, one split each, so CR LF leaves an empty line between its two.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        if (byte >= 0x0A && byte <= 0x0D) {
            length = 1;
        } else if (text.substr(at, 2) == "\xC2\x85") {
            length = 2;
        } else if (text.substr(at, 3) == "\xE2\x80\xA8" || text.substr(at, 3) == "\xE2\x80\xA9") {
            length = 3;
        }
        if (length == 0) {
            ++at;
            continue;
        }
        lines.push_back(text.substr(start, at - start));
        at += length;
        start = at;
    }
    lines.push_back(text.substr(start));
    return lines;
}

// The input document of an authenticated restart; the password never reaches a command line.
std::string authrestart_input(const std::string& user, const std::string& password) {
    auto document = platform::property_list_t::dictionary();
    document.set("Username", platform::property_list_t::string(user));
    document.set("Password", platform::property_list_t::string(password));
    return document.to_xml().value_or(std::string());
}

}  // namespace

bool ExternalCommands::ejectQuorvixDMG(const std::string& mount_point) {
    return task_t::syncExec(tool_path(system_tool_t::hdiutil), {"detach", mount_point, "-force"}) == 0;
}

bool ExternalCommands::ls_register_app(const std::string& bundle_path) {
    return platform::ls_register_url(bundle_path, true) == 0;
}

bool ExternalCommands::remove_authorization(const std::string& right) {
    return task_t::syncExec(tool_path(system_tool_t::security), {"authorizationdb", "remove", right}) == 0;
}

bool ExternalCommands::force_reboot() {
    return task_t::syncExec(tool_path(system_tool_t::shutdown), {"-r", "+6sec"}) == 0;
}

bool ExternalCommands::forceRebootUser(const std::string& user, const std::string& password) {
    const std::string input = authrestart_input(user, password);
    const std::int32_t status = task_t::syncExecWithInput(
        tool_path(system_tool_t::fdesetup), {"authrestart", "-delayminutes", "-1", "-inputplist"}, input);
    if (status != 0) {
        support::trace_t trace(reboot_trace_name);
        support::trace_error(trace, "authenticated restart failed with status %d; not restarting", status);
        return false;
    }
    return force_reboot();
}

bool ExternalCommands::detect_sleep_proxy(std::int32_t timeout_seconds) {
    // The timed run refuses short waits with a logic error; the command layer answers NO instead.
    if (timeout_seconds < 1) {
        return false;
    }
    task_t browse(tool_path(system_tool_t::dns_sd), {"-B", std::string(kSleepProxyService), "local"});
    const auto output = browse.syncStdOutExecuteWithTimeout(static_cast<double>(timeout_seconds));
    if (!output) {
        return false;
    }
    const auto lines = split_lines(*output);
    if (lines.size() < 3) {
        return false;
    }
    // The first line is the tool's banner and never counts.
    return std::any_of(lines.begin() + 1, lines.end(), [](std::string_view line) {
        return line.find(kSleepProxyService) != std::string_view::npos;
    });
}

}  // namespace commands
