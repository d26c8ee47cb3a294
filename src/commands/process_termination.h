#pragma once
// The steps behind ExternalCommands::kill_all_processes, apart so that a caller can list without ending
// and tests can hand in their own process list and clock.

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands/process_list.h"
#include "platform/wall_clock.h"
#include "support/trace.h"

namespace commands {

// The pause after each delivered SIGTERM, so that a process can take its helpers down first.
inline constexpr double kTerminationPause = 0.5;

// Runs "/bin/ps" "-eo" "pid,args" under the system root and parses its output; each record carries the
// tick at which the listing began. Raises launch_error when the tool cannot be started.
[[nodiscard]] process_list_t discover_application_processes();

// Writes one record for each line the parser set aside.
void trace_rejected_lines(support::trace_t& trace, const std::vector<rejected_line_t>& rejected);

// Ends the listed processes in role order. YES when every signal was delivered, also when none was due.
[[nodiscard]] bool end_processes(std::vector<process_record_t> records,
                                 const std::optional<std::string>& bundle_identifier,
                                 std::span<const pid_t> except, bool with9,
                                 const platform::wall_clock_t& clock, support::trace_t& trace);

}  // namespace commands
