#include "platform/xpc/connection_budget.h"

#include <algorithm>
#include <utility>

namespace platform::xpc {
namespace {

// The open files systemd gives a service unless its unit says otherwise.
constexpr std::uint64_t kServiceOpenFiles = 1024;
static_assert((connection_limits_t{}.root + connection_limits_t{}.other_users) * kDescriptorsPerConnection +
                      kDescriptorsKeptForTheHelper <=
                  kServiceOpenFiles,
              "the default limits leave the helper short of descriptors under systemd");
static_assert(connection_limits_t{}.per_user <= connection_limits_t{}.other_users);

}  // namespace

connection_limits_t fit_to_descriptor_limit(connection_limits_t limits, std::uint64_t open_files) {
    const std::uint64_t room = open_files > kDescriptorsKeptForTheHelper
                                   ? (open_files - kDescriptorsKeptForTheHelper) / kDescriptorsPerConnection
                                   : 0;
    limits.root = static_cast<std::size_t>(std::min<std::uint64_t>(limits.root, room));
    limits.other_users =
        static_cast<std::size_t>(std::min<std::uint64_t>(limits.other_users, room - limits.root));
    limits.per_user = std::min(limits.per_user, limits.other_users);
    return limits;
}

connection_budget_t::slot_t::slot_t(std::shared_ptr<connection_budget_t> budget, uid_t user)
    : budget_(std::move(budget)), user_(user) {}

connection_budget_t::slot_t::~slot_t() {
    release();
}

connection_budget_t::slot_t::slot_t(slot_t&& other) noexcept
    : budget_(std::move(other.budget_)), user_(other.user_) {}

connection_budget_t::slot_t& connection_budget_t::slot_t::operator=(slot_t&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::move(other.budget_);
        user_ = other.user_;
    }
    return *this;
}

void connection_budget_t::slot_t::release() {
    if (budget_) {
        std::exchange(budget_, nullptr)->give_back(user_);
    }
}

connection_budget_t::connection_budget_t(const connection_limits_t& limits) : limits_(limits) {}

std::optional<connection_budget_t::slot_t> connection_budget_t::acquire(uid_t user, std::string* refusal) {
    auto refuse = [refusal](std::string reason) -> std::optional<slot_t> {
        if (refusal != nullptr) {
            *refusal = std::move(reason);
        }
        return std::nullopt;
    };
    std::lock_guard lock(mutex_);
    const auto entry = held_.find(user);
    const std::size_t held = entry == held_.end() ? 0 : entry->second;
    if (user == 0) {
        if (held >= limits_.root) {
            return refuse("root holds " + std::to_string(held) + " connections, its cap");
        }
    } else if (held >= limits_.per_user) {
        return refuse("user " + std::to_string(user) + " holds " + std::to_string(held) +
                      " connections, the cap per user");
    } else if (held_by_others_ >= limits_.other_users) {
        return refuse("users other than root hold " + std::to_string(held_by_others_) +
                      " connections, their cap together");
    }
    ++held_[user];
    if (user != 0) {
        ++held_by_others_;
    }
    return slot_t(shared_from_this(), user);
}

void connection_budget_t::give_back(uid_t user) {
    std::lock_guard lock(mutex_);
    const auto entry = held_.find(user);
    if (entry == held_.end() || entry->second == 0) {
        return;
    }
    if (--entry->second == 0) {
        held_.erase(entry);
    }
    if (user != 0) {
        --held_by_others_;
    }
}

}  // namespace platform::xpc
