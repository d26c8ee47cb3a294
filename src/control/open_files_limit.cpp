// Raising the system-wide open-files limit when the helper's own limit shows it is low.
#include <cerrno>

#include "commands/system_tools.h"
#include "commands/task.h"
#include "core/helper_tool.h"

namespace core {
namespace {

// The value that stands for "no limit".
constexpr std::uint64_t kUnlimited = 0x7FFFFFFFFFFFFFFFull;
constexpr std::uint64_t kLowSoftLimit = 1023;
const std::vector<std::string> kRaiseLimitArguments = {"limit", "maxfiles", "65536", "1000000"};

}  // namespace

void helper_tool_t::fixOSMaxFilesIfNeedAndReply(const reply_t<bool>& reply) {
    // 1.-2. Read the limits.
    const open_files_query_t query = deps_.query_open_files_limit();
    if (!query.limits) {
        trace_warning(_trace, "Cannot read the open-files limits (errno %d)", query.error);
    } else {
        // 3.
        const open_files_limit_t limits = *query.limits;
        trace_info(_trace, "Open-files limits: soft %llu, hard %llu",
                   static_cast<unsigned long long>(limits.soft),
                   static_cast<unsigned long long>(limits.hard));
        // 4.-5.
        if (limits.hard != kUnlimited) {
            trace_warning(_trace, "The open-files hard limit is finite");
            if (limits.soft <= kLowSoftLimit) {
                trace_warning(_trace, "The open-files soft limit is low, raising it");
                _hackOSMaxFiles();
            }
        }
    }
    // 6.
    if (reply) {
        reply(true);
    }
}

void helper_tool_t::_hackOSMaxFiles() {
    (void)commands::task_t::syncExec(commands::tool_path(commands::system_tool_t::launchctl),
                                     kRaiseLimitArguments);
}

open_files_query_t query_process_open_files_limit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {std::nullopt, errno};
    }
    const auto widen = [](rlim_t value) -> std::uint64_t {
        return value == RLIM_INFINITY ? kUnlimited : static_cast<std::uint64_t>(value);
    };
    return {open_files_limit_t{widen(limit.rlim_cur), widen(limit.rlim_max)}, 0};
}

}  // namespace core
