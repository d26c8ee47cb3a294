#pragma once
// The rights of the helper's privileged requests, shared by the helper and the client: which right each
// request needs, its default rule and the text shown when the user is asked, and the operations that
// define and remove those rights in the rights database.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/authorization.h"

namespace auth {

// One row of the command table: the values under "authRightName", "authRightDefault" and
// "authRightDescription".
struct command_right_t {
    std::string authRightName;
    std::string authRightDefault;
    std::string authRightDescription;
};

// Keyed by the request's selector text, colons included.
using command_info_t = std::map<std::string, command_right_t, std::less<>>;

using rights_block_t = std::function<void(const std::string& right_name, const std::string& default_rule,
                                          const std::string& description)>;

// Class operations only; no state.
class helper_tool_common_t {
public:
    helper_tool_common_t() = delete;

    // The right of a selector that needs none.
    static constexpr std::string_view kFallbackRight = "allow";
    // The localisation table named with every right definition.
    static constexpr std::string_view kLocalizationTable = "Common";

    // Built anew on each call.
    [[nodiscard]] static command_info_t commandInfo();
    [[nodiscard]] static std::vector<std::string> authRightNames();
    [[nodiscard]] static std::string authorization_right_for_command(std::string_view selector);
    // Once per row, in the table's order.
    static void enumerate_rights_using_block(const rights_block_t& block);

    // Defines each right the database does not hold yet; a right already there, whatever its rule, stays.
    static void setup_authorization_rights(const platform::authorization_ref_t& authorization);
    // Removes each right; one that cannot be removed gets an error record and the others are still tried.
    static void delete_authorization_rights(const platform::authorization_ref_t& authorization);
};

}  // namespace auth
