#pragma once
// Stand-in for launchd's stop of a job: SIGTERM (how systemd stops a service) and SIGINT (a terminal's
// Ctrl-C) are held pending for the run loop, which then ends as at an idle exit, instead of ending the
// process wherever it stands.

#include <optional>

namespace platform {

// Blocks SIGTERM and SIGINT in the calling thread and so in every thread it starts afterwards: call before
// the first thread. Children start with nothing blocked (spawn.h).
void block_stop_signals();

// A stop signal that has arrived, taken without waiting; absent when none has.
[[nodiscard]] std::optional<int> take_stop_signal();

}  // namespace platform
