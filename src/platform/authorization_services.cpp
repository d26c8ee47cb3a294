#include "platform/authorization_services.h"

#include <unistd.h>

#include "platform/authorization_rules.h"
#include "platform/process_info.h"

namespace platform {

bool authorization_form_names_peer(const authorization_subject_t& subject, const audit_token_t& peer) {
    if (subject.pid == 0 || subject.pid != peer.pid || subject.uid != peer.euid ||
        static_cast<std::uint32_t>(subject.start_time) != peer.pid_version) {
        return false;
    }
    const auto start_time = process_start_time(static_cast<pid_t>(subject.pid));
    return start_time && *start_time == subject.start_time;
}

sqlite_authorization_services_t::sqlite_authorization_services_t(std::string database_path)
    : database_(std::move(database_path)) {}

authorization_created_t sqlite_authorization_services_t::issue(const authorization_subject_t& subject) {
    std::lock_guard guard(mutex_);
    const authorization_handle_t handle = next_handle_++;
    references_.emplace(handle, subject);
    return {errAuthorizationSuccess, authorization_ref_t(*this, handle)};
}

std::optional<authorization_subject_t> sqlite_authorization_services_t::subject_of(
    authorization_handle_t reference) const {
    std::lock_guard guard(mutex_);
    const auto found = references_.find(reference);
    if (found == references_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::size_t sqlite_authorization_services_t::live_references() const {
    std::lock_guard guard(mutex_);
    return references_.size();
}

authorization_created_t sqlite_authorization_services_t::create() {
    const auto start_time = process_start_time(getpid());
    if (!start_time) {
        return {errAuthorizationInternal, {}};
    }
    return issue({static_cast<std::uint32_t>(getpid()), static_cast<std::uint32_t>(geteuid()), *start_time});
}

authorization_created_t sqlite_authorization_services_t::create_from_external_form(
    std::span<const std::uint8_t> form, const std::optional<audit_token_t>& peer) {
    const auto subject = decode_authorization_form(form);
    if (!subject || !peer || !authorization_form_names_peer(*subject, *peer)) {
        return {errAuthorizationInvalidRef, {}};
    }
    return issue(*subject);
}

os_status_t sqlite_authorization_services_t::evaluate(authorization_handle_t reference,
                                                      const std::vector<authorization_item_t>& rights,
                                                      bool as_removed) const {
    const auto subject = subject_of(reference);
    if (!subject) {
        return errAuthorizationInvalidRef;
    }
    for (const authorization_item_t& item : rights) {
        if (item.name.empty()) {
            return errAuthorizationInvalidSet;
        }
        // A right the database does not hold is evaluated under the rule `default`.
        std::string rule(kRuleDefault);
        if (!as_removed) {
            const authorization_right_lookup_t lookup = database_.get(item.name);
            if (lookup.status == errAuthorizationSuccess) {
                rule = lookup.definition->rule;
            } else if (lookup.status != errAuthorizationDenied) {
                return lookup.status;
            }
        }
        // Every right of the set must be granted; partial rights are not offered.
        if (const os_status_t status = evaluate_authorization_rule(rule, subject->uid); status != 0) {
            return status;
        }
    }
    return errAuthorizationSuccess;
}

os_status_t sqlite_authorization_services_t::copy_rights(authorization_handle_t reference,
                                                         const std::vector<authorization_item_t>& rights,
                                                         authorization_flags_t /*flags*/) {
    return evaluate(reference, rights, false);
}

os_status_t sqlite_authorization_services_t::copy_rights_as_removed(
    authorization_handle_t reference, const std::vector<authorization_item_t>& rights,
    authorization_flags_t /*flags*/) {
    return evaluate(reference, rights, true);
}

os_status_t sqlite_authorization_services_t::free(authorization_handle_t reference, authorization_flags_t) {
    std::lock_guard guard(mutex_);
    return references_.erase(reference) == 1 ? errAuthorizationSuccess : errAuthorizationInvalidRef;
}

authorization_right_lookup_t sqlite_authorization_services_t::right_get(const std::string& right) {
    return database_.get(right);
}

os_status_t sqlite_authorization_services_t::may_modify(authorization_handle_t reference) const {
    const auto subject = subject_of(reference);
    if (!subject) {
        return errAuthorizationInvalidRef;
    }
    return user_is_admin(subject->uid) ? errAuthorizationSuccess : errAuthorizationDenied;
}

os_status_t sqlite_authorization_services_t::right_set(authorization_handle_t reference,
                                                       const std::string& right, const std::string& rule,
                                                       const std::optional<std::string>& description,
                                                       const std::optional<std::string>& localization_table) {
    if (right.empty() || rule.empty()) {
        return kParamErr;
    }
    if (const os_status_t status = may_modify(reference); status != 0) {
        return status;
    }
    return database_.set(right, {rule, description, localization_table});
}

os_status_t sqlite_authorization_services_t::right_remove(authorization_handle_t reference,
                                                          const std::string& right) {
    if (right.empty()) {
        return kParamErr;
    }
    if (const os_status_t status = may_modify(reference); status != 0) {
        return status;
    }
    return database_.remove(right);
}

}  // namespace platform
