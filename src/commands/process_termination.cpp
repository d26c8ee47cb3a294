#include "commands/process_termination.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <system_error>

#include "commands/external_commands.h"
#include "commands/system_tools.h"
#include "commands/task.h"
#include "platform/bundle.h"
#include "platform/process_handle.h"
#include "platform/process_info.h"

namespace commands {
namespace {

const char* termination_trace_name() {
    return "ExternalCommands.kill_all_processes";
}

// The executable name, "MacOS" and "Contents" removed.
std::filesystem::path bundle_path_of(const std::string& exe) {
    return std::filesystem::path(exe).parent_path().parent_path().parent_path();
}

// Delivers the signal only to the process that was listed: one that has ended counts as a failed delivery,
// and so does a pid that has since been reused. The start time tells them apart, whatever the listing made
// of the command line: two processes alive at once never share a pid, so one that began before the listing
// and is still alive is the one the listing saw.
[[nodiscard]] int signal_listed_process(const process_record_t& record, int signal_number) {
    const std::optional<platform::process_handle_t> handle =
        platform::process_handle_t::open(record.process_id);
    if (!handle) {
        return errno;
    }
    const std::optional<std::uint64_t> started = handle->start_time();
    if (!started || *started >= record.listing_tick) {
        return ESRCH;
    }
    return handle->send_signal(signal_number);
}

}  // namespace

process_list_t discover_application_processes() {
    const std::uint64_t listing_tick = platform::wait_for_next_start_time_tick();
    task_t ps(tool_path(system_tool_t::ps), {"-eo", "pid,args"});
    process_list_t list = parse_process_list(ps.run_capturing().output);
    for (process_record_t& record : list.records) {
        record.listing_tick = listing_tick;
    }
    return list;
}

void process_records_t::write_count_left_out() {
    if (count_ > kProcessRecordLimit) {
        support::trace_info(trace_, "%zu further records about application processes left out",
                            count_ - kProcessRecordLimit);
    }
}

void trace_rejected_lines(process_records_t& trace, const std::vector<rejected_line_t>& rejected) {
    for (const rejected_line_t& line : rejected) {
        if (!trace.admit()) {
            continue;
        }
        const std::string reason(describe(line.reason));
        if (is_error(line.reason)) {
            support::trace_error(trace.trace(), "skipping process line (%s): %s", reason.c_str(),
                                 support::client_text_t(line.line).c_str());
        } else {
            support::trace_warning(trace.trace(), "skipping process line (%s): %s", reason.c_str(),
                                   support::client_text_t(line.line).c_str());
        }
    }
}

bool end_processes(std::vector<process_record_t> records, const std::optional<std::string>& bundle_identifier,
                   std::span<const pid_t> except, bool with9, const platform::wall_clock_t& clock,
                   process_records_t& trace) {
    sort_by_role(records);
    const int signal_number = with9 ? SIGKILL : SIGTERM;
    bool result = true;
    bool terminated_any = false;
    for (const process_record_t& record : records) {
        const std::string bundle_path = bundle_path_of(record.exe).string();
        if (std::filesystem::path(bundle_path).extension() != ".app") {
            if (trace.admit()) {
                support::trace_error(trace.trace(), "not an application bundle: %s",
                                     support::client_text_t(bundle_path).c_str());
            }
            continue;
        }
        const std::optional<platform::bundle_t> bundle = platform::bundle_t::open(bundle_path);
        const std::optional<std::string> identifier = bundle ? bundle->identifier() : std::nullopt;
        const bool foreign = bundle_identifier.has_value() && identifier != bundle_identifier;
        const bool spared = std::find(except.begin(), except.end(), record.process_id) != except.end();
        if (foreign || spared) {
            if (trace.admit()) {
                support::trace_info(trace.trace(), "skipping process %s %d of bundle %s",
                                    support::client_text_t(record.arg).c_str(), record.process_id,
                                    support::client_text_t(identifier.value_or("(none)")).c_str());
            }
            continue;
        }
        if (trace.admit()) {
            support::trace_info(trace.trace(), "ending process %s %d of %s",
                                support::client_text_t(record.arg).c_str(), record.process_id,
                                support::client_text_t(bundle_path).c_str());
        }
        if (const int error = signal_listed_process(record, signal_number); error != 0) {
            if (trace.admit()) {
                const std::string reason = std::system_category().message(error);
                support::trace_error(trace.trace(), "cannot signal process %d: %s", record.process_id,
                                     reason.c_str());
            }
            result = false;
            continue;
        }
        terminated_any = terminated_any || signal_number == SIGTERM;
    }
    if (terminated_any) {
        clock.sleep_for(kTerminationPause);
    }
    return result;
}

bool ExternalCommands::kill_all_processes(const std::optional<std::string>& bundle_identifier,
                                          const std::optional<std::vector<pid_t>>& except, bool with9) {
    support::trace_t trace(termination_trace_name);
    process_records_t records(trace);
    const process_list_t list = discover_application_processes();
    trace_rejected_lines(records, list.rejected);
    const std::vector<pid_t> spared = except.value_or(std::vector<pid_t>{});
    const bool result =
        end_processes(list.records, bundle_identifier, spared, with9, platform::system_wall_clock(), records);
    records.write_count_left_out();
    return result;
}

}  // namespace commands
