// Operations on the helper's own bundle: relaunch, privacy reset and the support-queue value.

#include <sys/xattr.h>

#include <string_view>
#include <vector>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "commands/utf8.h"
#include "platform/main_bundle.h"
#include "support/trace.h"

namespace commands {
namespace {

// The stand-in keeps the bundle's extended attributes in the Linux user namespace.
constexpr char kSupportQueueAttribute[] = "user.com.apple.application-instance";
constexpr std::string_view kSupportQueuePrefix = "sqp_";

const char* permissions_trace_name() {
    return "ExternalCommands.permissions";
}

std::string disk_image_pipeline() {
    return tool_path(system_tool_t::hdiutil) +
           " info -plist | tail -r | sed -n '/\\/Volumes\\/Quorvix/,/dmg/p' | grep dmg | "
           "sed 's/<string>\\([^<]*\\)<\\/string>/\\1/'";
}

// Single quotes for the shell: the text stays one word and runs nothing.
std::string shell_quoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::optional<std::string> support_queue_attribute(const std::string& path) {
    const ssize_t size = ::getxattr(path.c_str(), kSupportQueueAttribute, nullptr, 0);
    if (size < 0) {
        return std::nullopt;
    }
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    // The value may have changed size since it was measured; then it is not read at all.
    const ssize_t read = ::getxattr(path.c_str(), kSupportQueueAttribute, buffer.data(), buffer.size());
    if (read < 0) {
        return std::nullopt;
    }
    std::string value(buffer.data(), static_cast<std::size_t>(read));
    if (!is_valid_utf8(value) || !value.starts_with(kSupportQueuePrefix)) {
        return std::nullopt;
    }
    return value.substr(kSupportQueuePrefix.size());
}

// The name of an attached image "Quorvix-<value>.dmg" carries the value as its second dash-separated piece.
std::optional<std::string> value_from_image_path(std::string_view line) {
    while (!line.empty() && line.back() == '/') {
        line.remove_suffix(1);
    }
    const std::size_t slash = line.rfind('/');
    std::string_view name = slash == std::string_view::npos ? line : line.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) {
        name = name.substr(0, dot);
    }
    const std::size_t first_dash = name.find('-');
    if (first_dash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = name.substr(first_dash + 1);
    const std::string_view second = rest.substr(0, rest.find('-'));
    if (second.size() < 2) {
        return std::nullopt;
    }
    return "-" + std::string(second);
}

}  // namespace

void ExternalCommands::relaunchQuorvix() {
    const auto& bundle = platform::main_bundle();
    if (!bundle) {
        return;
    }
    task_t::launch_detached(tool_path(system_tool_t::sh), {"-c", "open -n " + shell_quoted(bundle->path())});
}

bool ExternalCommands::reset_system_permissions() {
    const auto& bundle = platform::main_bundle();
    const auto identifier = bundle ? bundle->identifier() : std::nullopt;
    if (!identifier) {
        return false;
    }
    support::trace_t trace(permissions_trace_name);
    support::trace_info(trace, "resetting the privacy permissions of the application");
    return task_t::syncExec(tool_path(system_tool_t::tccutil), {"reset", "All", *identifier}) == 0;
}

std::optional<std::string> ExternalCommands::getSupportQueueString() {
    const auto& bundle = platform::main_bundle();
    if (!bundle) {
        return std::nullopt;
    }
    if (auto value = support_queue_attribute(bundle->path())) {
        return value;
    }
    task_t pipeline(tool_path(system_tool_t::sh), {"-c", disk_image_pipeline()});
    const auto output = pipeline.syncStdOutExecute();
    if (!output) {
        return std::nullopt;
    }
    const std::string_view text = *output;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        const std::size_t length = end == std::string_view::npos ? std::string_view::npos : end - start;
        if (auto value = value_from_image_path(text.substr(start, length))) {
            return value;
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool ExternalCommands::removeSupportQueueAttr() {
    const auto& bundle = platform::main_bundle();
    if (!bundle) {
        return false;
    }
    return ::removexattr(bundle->path().c_str(), kSupportQueueAttribute) == 0;
}

}  // namespace commands
