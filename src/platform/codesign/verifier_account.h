#pragma once
// How the code verifier gives up root before it reads a byte of a client's signature.

#include <sys/types.h>

#include <optional>
#include <string_view>

namespace platform::codesign::verifier {

// The verifier's account as the helper passes it on the command line: a decimal id that is neither root's
// nor the kernel's overflow id (shared with whatever runs as nobody); absent otherwise.
[[nodiscard]] std::optional<id_t> parse_account_id(std::string_view text);

// Becomes `user` and `group` for good: all three user ids and group ids, no supplementary group, and
// no_new_privs, so that nothing it could exec regains a privilege. A process not running as root stays
// as it is. False when any step fails; the caller must then stop.
[[nodiscard]] bool give_up_root_for(uid_t user, gid_t group);

}  // namespace platform::codesign::verifier
