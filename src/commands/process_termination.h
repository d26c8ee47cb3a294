#pragma once
// The steps behind ExternalCommands::kill_all_processes, apart so that a caller can list without ending
// and tests can hand in their own process list and clock.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands/process_list.h"
#include "platform/wall_clock.h"
#include "support/trace.h"

namespace commands {

// The one pause after the SIGTERMs of a call, so that the processes can take their helpers down. One for
// all of them: anyone can start processes under the application's name.
inline constexpr double kTerminationPause = 0.5;

// Records about processes that name the application, which any user can start by the hundred: a call
// writes this many at most, then one with the number of those it left out.
inline constexpr std::size_t kProcessRecordLimit = 10;

class process_records_t {
public:
    explicit process_records_t(support::trace_t& trace) : trace_(trace) {}
    [[nodiscard]] support::trace_t& trace() { return trace_; }
    // Whether the next record is written; each call counts one record.
    [[nodiscard]] bool admit() { return ++count_ <= kProcessRecordLimit; }
    // The record of those left out, when any were.
    void write_count_left_out();

private:
    support::trace_t& trace_;
    std::size_t count_ = 0;
};

// Runs "/bin/ps" "-eo" "pid,args" under the system root and parses its output; each record carries the
// tick at which the listing began. Raises launch_error when the tool cannot be started.
[[nodiscard]] process_list_t discover_application_processes();

// Writes one record for each line the parser set aside.
void trace_rejected_lines(process_records_t& trace, const std::vector<rejected_line_t>& rejected);

// Ends the listed processes in role order, then pauses once when any took SIGTERM. YES when every signal
// was delivered, also when none was due.
[[nodiscard]] bool end_processes(std::vector<process_record_t> records,
                                 const std::optional<std::string>& bundle_identifier,
                                 std::span<const pid_t> except, bool with9,
                                 const platform::wall_clock_t& clock, process_records_t& trace);

}  // namespace commands
