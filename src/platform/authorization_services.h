#pragma once
// The real Authorization Services stand-in: rights in the SQLite rights database, references kept by
// the object that issued them. One object serves every thread of a process.

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/authorization.h"
#include "platform/authorization_database.h"
#include "platform/authorization_form.h"

namespace platform {

class sqlite_authorization_services_t final : public authorization_services_t {
public:
    explicit sqlite_authorization_services_t(
        std::string database_path = default_authorization_database_path());

    [[nodiscard]] authorization_created_t create() override;
    [[nodiscard]] authorization_created_t create_from_external_form(
        std::span<const std::uint8_t> form, const std::optional<audit_token_t>& peer) override;
    [[nodiscard]] os_status_t copy_rights(authorization_handle_t reference,
                                          const std::vector<authorization_item_t>& rights,
                                          authorization_flags_t flags) override;
    [[nodiscard]] os_status_t copy_rights_as_removed(authorization_handle_t reference,
                                                     const std::vector<authorization_item_t>& rights,
                                                     authorization_flags_t flags) override;
    os_status_t free(authorization_handle_t reference, authorization_flags_t flags) override;

    [[nodiscard]] authorization_right_lookup_t right_get(const std::string& right) override;
    [[nodiscard]] os_status_t right_set(authorization_handle_t reference, const std::string& right,
                                        const std::string& rule,
                                        const std::optional<std::string>& description,
                                        const std::optional<std::string>& localization_table) override;
    [[nodiscard]] os_status_t right_remove(authorization_handle_t reference,
                                           const std::string& right) override;

    // References issued and not yet freed.
    [[nodiscard]] std::size_t live_references() const;

private:
    [[nodiscard]] authorization_created_t issue(const authorization_subject_t& subject);
    [[nodiscard]] std::optional<authorization_subject_t> subject_of(authorization_handle_t reference) const;
    // Every right of the set granted to the reference's user, under its rule in the database or, with
    // `as_removed`, under the rule `default`.
    [[nodiscard]] os_status_t evaluate(authorization_handle_t reference,
                                       const std::vector<authorization_item_t>& rights,
                                       bool as_removed) const;
    // Changing the database takes an administrator, as config.modify rights do on macOS.
    [[nodiscard]] os_status_t may_modify(authorization_handle_t reference) const;

    authorization_database_t database_;
    mutable std::mutex mutex_;  // guards references_ and next_handle_
    std::unordered_map<authorization_handle_t, authorization_subject_t> references_;
    authorization_handle_t next_handle_ = 1;
};

// Whether an external form names the peer process: its pid, its effective uid and its start time. The
// token holds only the low 32 bits of the start time, so the full one is read again from the live pid.
[[nodiscard]] bool authorization_form_names_peer(const authorization_subject_t& subject,
                                                 const audit_token_t& peer);

}  // namespace platform
