#pragma once
// The rules of the Authorization Services stand-in. There is no authentication agent on Linux, so a rule
// that would ask for an administrator's password holds only for root.

#include <sys/types.h>

#include <string_view>

#include "platform/os_status.h"

namespace platform {

inline constexpr std::string_view kRuleAllow = "allow";
inline constexpr std::string_view kRuleDeny = "deny";
inline constexpr std::string_view kRuleIsAdmin = "is-admin";
inline constexpr std::string_view kRuleAuthenticateAdmin = "authenticate-admin";
// The rule of a right that the database does not hold; it means authenticate-admin.
inline constexpr std::string_view kRuleDefault = "default";

// uid 0, or a user who belongs to the group admin, sudo or wheel (primary or supplementary).
[[nodiscard]] bool user_is_admin(uid_t uid);

// 0 when the rule grants the right to the user, errAuthorizationDenied otherwise; a rule the stand-in
// does not know denies.
[[nodiscard]] os_status_t evaluate_authorization_rule(std::string_view rule, uid_t uid);

}  // namespace platform
