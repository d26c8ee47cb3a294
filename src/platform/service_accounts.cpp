#include "platform/service_accounts.h"

#include <grp.h>
#include <pwd.h>

#include <vector>

namespace platform {
namespace {

// The kernel's overflow ids: shared with whatever runs as nobody, so never ours.
constexpr id_t kOverflowId = 65534;
constexpr id_t kNoId = static_cast<id_t>(-1);

std::string how_to_create(std::string_view what) {
    return std::string(what) +
           " is missing or not an account of its own; create the helper's accounts with: systemd-sysusers "
           "/usr/lib/sysusers.d/quorvix-helper.conf";
}

bool usable(id_t id) {
    return id != 0 && id != kOverflowId && id != kNoId;
}

service_accounts_t& accounts_storage() {
    static service_accounts_t accounts{static_cast<gid_t>(kNoId), static_cast<uid_t>(kNoId),
                                       static_cast<gid_t>(kNoId)};
    return accounts;
}

}  // namespace

std::optional<service_accounts_t> look_up_service_accounts(std::string* problem,
                                                           std::string_view client_group_name,
                                                           std::string_view verifier_user_name) {
    const auto fail = [problem](std::string text) -> std::optional<service_accounts_t> {
        if (problem != nullptr) {
            *problem = std::move(text);
        }
        return std::nullopt;
    };
    std::vector<char> buffer(16384);
    group group_entry{};
    group* found_group = nullptr;
    const std::string group_name(client_group_name);
    if (getgrnam_r(group_name.c_str(), &group_entry, buffer.data(), buffer.size(), &found_group) != 0 ||
        found_group == nullptr || !usable(found_group->gr_gid)) {
        return fail(how_to_create("the group " + group_name));
    }
    service_accounts_t accounts;
    accounts.client_group = found_group->gr_gid;
    passwd user_entry{};
    passwd* found_user = nullptr;
    const std::string user_name(verifier_user_name);
    if (getpwnam_r(user_name.c_str(), &user_entry, buffer.data(), buffer.size(), &found_user) != 0 ||
        found_user == nullptr || !usable(found_user->pw_uid) || !usable(found_user->pw_gid) ||
        found_user->pw_gid == accounts.client_group) {
        return fail(how_to_create("the user " + user_name));
    }
    accounts.verifier_user = found_user->pw_uid;
    accounts.verifier_group = found_user->pw_gid;
    return accounts;
}

void set_service_accounts(const service_accounts_t& accounts) {
    accounts_storage() = accounts;
}

const service_accounts_t& service_accounts() {
    return accounts_storage();
}

bool kernel_vouches_for_peer(uid_t effective_user, gid_t effective_group) {
    return effective_user == 0 || effective_group == service_accounts().client_group;
}

}  // namespace platform
