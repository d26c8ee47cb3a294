#include "platform/codesign/verifier_account.h"

#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>

namespace platform::codesign::verifier {
namespace {

constexpr id_t kOverflowId = 65534;

}  // namespace

std::optional<id_t> parse_account_id(std::string_view text) {
    id_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || id == 0 ||
        id == kOverflowId || id == static_cast<id_t>(-1)) {
        return std::nullopt;
    }
    return id;
}

bool give_up_root_for(uid_t user, gid_t group) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
                             ::setresuid(user, user, user) != 0)) {
        return false;
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return false;
    }
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    // For good: no id of root's is left to go back to.
    return ::getresuid(&ruid, &euid, &suid) == 0 && ::getresgid(&rgid, &egid, &sgid) == 0 && ruid != 0 &&
           euid != 0 && suid != 0 && ::setuid(0) != 0;
}

}  // namespace platform::codesign::verifier
