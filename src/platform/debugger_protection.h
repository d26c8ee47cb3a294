#pragma once
// Stand-in for the hardened runtime's refusal of debuggers (a signed application without the
// get-task-allow entitlement): on Linux, the process is made non-dumpable.

namespace platform {

// From now until the next exec, no process of the same user can attach to the calling process or read its
// memory; only root can. False when the system refuses.
[[nodiscard]] bool deny_debugger_attachment();

}  // namespace platform
