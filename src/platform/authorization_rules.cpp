#include "platform/authorization_rules.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace platform {
namespace {

constexpr std::array<const char*, 3> kAdminGroups = {"admin", "sudo", "wheel"};
constexpr std::size_t kMaxLookupBuffer = 1 << 20;

struct user_entry_t {
    std::string name;
    gid_t primary_group = 0;
};

std::optional<user_entry_t> lookup_user(uid_t uid) {
    std::vector<char> buffer(1024);
    while (buffer.size() <= kMaxLookupBuffer) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return user_entry_t{found->pw_name, found->pw_gid};
    }
    return std::nullopt;
}

std::optional<gid_t> lookup_group(const char* name) {
    std::vector<char> buffer(1024);
    while (buffer.size() <= kMaxLookupBuffer) {
        group entry{};
        group* found = nullptr;
        const int error = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return found->gr_gid;
    }
    return std::nullopt;
}

std::vector<gid_t> groups_of(const user_entry_t& user) {
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(user.name.c_str(), user.primary_group, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        // The count now says how many there are.
        if (static_cast<std::size_t>(count) <= groups.size()) {
            return {user.primary_group};
        }
        groups.resize(static_cast<std::size_t>(count));
    }
}

}  // namespace

bool user_is_admin(uid_t uid) {
    if (uid == 0) {
        return true;
    }
    const auto user = lookup_user(uid);
    if (!user) {
        return false;
    }
    const std::vector<gid_t> groups = groups_of(*user);
    return std::any_of(kAdminGroups.begin(), kAdminGroups.end(), [&](const char* name) {
        const auto gid = lookup_group(name);
        return gid && std::find(groups.begin(), groups.end(), *gid) != groups.end();
    });
}

os_status_t evaluate_authorization_rule(std::string_view rule, uid_t uid) {
    if (rule == kRuleAllow) {
        return errAuthorizationSuccess;
    }
    if (rule == kRuleIsAdmin) {
        return user_is_admin(uid) ? errAuthorizationSuccess : errAuthorizationDenied;
    }
    if (rule == kRuleAuthenticateAdmin || rule == kRuleDefault) {
        return uid == 0 ? errAuthorizationSuccess : errAuthorizationDenied;
    }
    // deny, and every rule this stand-in does not know.
    return errAuthorizationDenied;
}

}  // namespace platform
