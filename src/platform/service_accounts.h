#pragma once
// The helper's two system accounts on Linux (packaging/quorvix-helper.sysusers): the group that stands in
// for the hardened runtime, and the code verifier's own user. On the target system the kernel enforces the
// hardened runtime and the verifier is the system's, so neither exists there.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The effective group of client executables that users other than root run: files root-owned, of this
// group, mode 2755. The kernel grants the group only on a clean exec (not traced, not under
// no_new_privs, not in a user namespace without it), which also makes the process non-dumpable and its
// loader secure. No user is ever a member.
inline constexpr std::string_view kClientGroupName = "quorvix-client";
// The code verifier's user, with a group of the same name; no other process runs as it.
inline constexpr std::string_view kVerifierUserName = "quorvix-verifier";

struct service_accounts_t {
    gid_t client_group = 0;
    uid_t verifier_user = 0;
    gid_t verifier_group = 0;
};

// Looks both accounts up (other names only for tests). Absent, with one line for the operator naming what
// is missing and how to create it, when either is missing, has root's or the kernel's overflow id, or when
// the verifier's group is the client group.
[[nodiscard]] std::optional<service_accounts_t> look_up_service_accounts(
    std::string* problem, std::string_view client_group_name = kClientGroupName,
    std::string_view verifier_user_name = kVerifierUserName);

// The accounts the process works with: set once at start, before any thread, as the system root is.
void set_service_accounts(const service_accounts_t& accounts);
// Until set, ids that match nothing: no peer has the client group, and the verifier cannot drop to them.
[[nodiscard]] const service_accounts_t& service_accounts();

// Whether the kernel vouches for a peer's code from its first instruction, judged by the effective ids it
// recorded when the peer connected (never read later): root's processes, and processes that a clean
// set-group-id exec put in the client group. Anything else may run code its starter wrote into it.
[[nodiscard]] bool kernel_vouches_for_peer(uid_t effective_user, gid_t effective_group);

}  // namespace platform
