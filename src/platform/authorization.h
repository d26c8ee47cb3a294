#pragma once
// Stand-in for Authorization Services (AuthorizationCreate, AuthorizationCreateFromExternalForm,
// AuthorizationCopyRights, AuthorizationFree, AuthorizationRightGet, AuthorizationRightSet,
// AuthorizationRightRemove). The interface is the seam; authorization_services.h has the real one.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/audit_token.h"
#include "platform/os_status.h"

namespace platform {

using authorization_flags_t = std::uint32_t;
inline constexpr authorization_flags_t kAuthorizationFlagDefaults = 0;
inline constexpr authorization_flags_t kAuthorizationFlagInteractionAllowed = 1 << 0;
inline constexpr authorization_flags_t kAuthorizationFlagExtendRights = 1 << 1;
inline constexpr authorization_flags_t kAuthorizationFlagPartialRights = 1 << 2;
inline constexpr authorization_flags_t kAuthorizationFlagDestroyRights = 1 << 3;
inline constexpr authorization_flags_t kAuthorizationFlagPreAuthorize = 1 << 4;

// AuthorizationRef: an opaque number issued by one services object; 0 is none.
using authorization_handle_t = std::uint64_t;

// One AuthorizationItem; a rights set is a vector of them.
struct authorization_item_t {
    std::string name;
    std::vector<std::uint8_t> value;
    std::uint32_t flags = 0;
};

// A right as the rights database holds it.
struct authorization_right_definition_t {
    std::string rule;
    std::optional<std::string> description;
    std::optional<std::string> localization_table;
};

struct authorization_right_lookup_t {
    os_status_t status = errAuthorizationInternal;
    std::optional<authorization_right_definition_t> definition;  // present when status is 0
};

class authorization_services_t;

// Owns one reference and frees it (AuthorizationFree, default flags) when it goes, on every path.
class authorization_ref_t {
public:
    authorization_ref_t() = default;
    authorization_ref_t(authorization_services_t& services, authorization_handle_t handle)
        : services_(&services), handle_(handle) {}
    ~authorization_ref_t() { reset(); }
    authorization_ref_t(authorization_ref_t&& other) noexcept { *this = std::move(other); }
    authorization_ref_t& operator=(authorization_ref_t&& other) noexcept;
    authorization_ref_t(const authorization_ref_t&) = delete;
    authorization_ref_t& operator=(const authorization_ref_t&) = delete;

    [[nodiscard]] explicit operator bool() const { return handle_ != 0; }
    [[nodiscard]] authorization_handle_t handle() const { return handle_; }
    [[nodiscard]] authorization_services_t* services() const { return services_; }
    void reset();

private:
    authorization_services_t* services_ = nullptr;
    authorization_handle_t handle_ = 0;
};

// A reference, or the status that refused it.
struct authorization_created_t {
    os_status_t status = errAuthorizationInternal;
    authorization_ref_t reference;  // set when status is 0
};

class authorization_services_t {
public:
    virtual ~authorization_services_t() = default;

    // AuthorizationCreate without rights: a reference for the calling process.
    [[nodiscard]] virtual authorization_created_t create() = 0;
    // AuthorizationCreateFromExternalForm. `peer` is the audit token of the connection the form came on;
    // the form must name that very process, else errAuthorizationInvalidRef.
    [[nodiscard]] virtual authorization_created_t create_from_external_form(
        std::span<const std::uint8_t> form, const std::optional<audit_token_t>& peer) = 0;
    // AuthorizationCopyRights without environment and without asking for the authorized rights.
    [[nodiscard]] virtual os_status_t copy_rights(authorization_handle_t reference,
                                                  const std::vector<authorization_item_t>& rights,
                                                  authorization_flags_t flags) = 0;
    // The same check as the database answers once it no longer holds the rights: each right under the rule
    // `default`, whatever the database says of it now. Lets a caller check a right that it is about to
    // remove, before it removes it.
    [[nodiscard]] virtual os_status_t copy_rights_as_removed(authorization_handle_t reference,
                                                             const std::vector<authorization_item_t>& rights,
                                                             authorization_flags_t flags) = 0;
    virtual os_status_t free(authorization_handle_t reference, authorization_flags_t flags) = 0;

    // 0 with the definition, or errAuthorizationDenied for a right the database does not hold.
    [[nodiscard]] virtual authorization_right_lookup_t right_get(const std::string& right) = 0;
    // Inserts or replaces the definition; `rule` names a rule of the database.
    [[nodiscard]] virtual os_status_t right_set(authorization_handle_t reference, const std::string& right,
                                                const std::string& rule,
                                                const std::optional<std::string>& description,
                                                const std::optional<std::string>& localization_table) = 0;
    [[nodiscard]] virtual os_status_t right_remove(authorization_handle_t reference,
                                                   const std::string& right) = 0;
};

inline void authorization_ref_t::reset() {
    if (services_ != nullptr && handle_ != 0) {
        static_cast<void>(services_->free(handle_, kAuthorizationFlagDefaults));
    }
    services_ = nullptr;
    handle_ = 0;
}

inline authorization_ref_t& authorization_ref_t::operator=(authorization_ref_t&& other) noexcept {
    if (this != &other) {
        reset();
        services_ = std::exchange(other.services_, nullptr);
        handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
}

}  // namespace platform
