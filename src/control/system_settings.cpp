// Settings of the whole machine: the kernel's dark-wake mode and a restart, unlocking the encrypted
// start-up disk when the user's credentials come with it.
#include <cctype>
#include <charconv>
#include <limits>
#include <string_view>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "core/helper_tool.h"

namespace core {
namespace {

constexpr std::string_view kDarkwakeKey = "debug.darkwake:";
constexpr std::string_view kArrow = "->";
constexpr std::int32_t kNoMode = -1;

// Leading white space, an optional sign and the digits after it, clamped to 32 bits; text without digits
// reads as 0, as the C conversions read it.
std::int32_t leading_integer(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        ++at;
    }
    std::size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) {
        ++end;
    }
    if (end == at) {
        return 0;
    }
    std::int64_t value = 0;
    const auto parsed = std::from_chars(text.data() + at, text.data() + end, value);
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    if (parsed.ec == std::errc::result_out_of_range || value > kMax) {
        return negative ? std::numeric_limits<std::int32_t>::min() : kMax;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

// sysctl reports an assignment as "debug.darkwake: <old> -> <new>"; the old value is the answer.
std::optional<std::int32_t> previous_darkwake_mode(std::string_view output) {
    const auto key = output.find(kDarkwakeKey);
    if (key == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view assignment = output.substr(key + kDarkwakeKey.size());
    const auto arrow = assignment.find(kArrow);
    if (arrow == std::string_view::npos ||
        assignment.find(kArrow, arrow + kArrow.size()) != std::string_view::npos) {
        return std::nullopt;
    }
    return leading_integer(assignment.substr(0, arrow));
}

}  // namespace

void helper_tool_t::set_darkwake_mode(std::int32_t mode, const reply_t<std::int32_t>& reply) {
    // 1.
    commands::task_t sysctl(commands::tool_path(commands::system_tool_t::sysctl),
                            {"debug.darkwake=" + std::to_string(mode)});
    const auto output = sysctl.syncStdOutExecute();
    // 2.-3.
    const auto previous = output ? previous_darkwake_mode(*output) : std::nullopt;
    if (previous && *previous != kNoMode) {
        reply(*previous);
        return;
    }
    // 4.
    trace_error(_trace, "Cannot set the dark-wake mode to %d: sysctl reported no previous mode", mode);
    reply(kNoMode);
}

void helper_tool_t::reboot_computer_for_username(const string_arg_t& user_name, const string_arg_t& password,
                                                 const reply_t<bool>& reply) {
    // Neither the user name nor the password ever goes into a record.
    // 1.
    if (user_name && !user_name->empty() && password && !password->empty()) {
        trace_info(_trace, "Restarting the computer, unlocking the start-up disk");
        reply(commands::ExternalCommands::forceRebootUser(*user_name, *password));
        return;
    }
    // 2.
    trace_info(_trace, "Restarting the computer");
    reply(commands::ExternalCommands::force_reboot());
}

}  // namespace core
