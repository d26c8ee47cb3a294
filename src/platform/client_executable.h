#pragma once
// Stand-in for the hardened runtime of a client executable that users other than root run: owner root,
// the group quorvix-client and mode 02755 (see service_accounts.h), so that the kernel runs it set-group-id.
// On the target system the kernel's hardened runtime makes this unnecessary.

namespace platform {

// On the opened executable, never on a name looked up again. False with errno set when a change failed.
[[nodiscard]] bool give_client_runtime(int executable);

}  // namespace platform
