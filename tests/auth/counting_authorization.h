#pragma once
// Authorization Services that answer what a test sets and count every call, so a test can see what
// reached the platform.

#include <map>
#include <string>
#include <vector>

#include "platform/authorization.h"

namespace fixtures {

class counting_authorization_t final : public platform::authorization_services_t {
public:
    static constexpr platform::authorization_handle_t kHandle = 7;

    platform::os_status_t create_status = 0;
    platform::os_status_t copy_status = 0;
    // right -> status of right_get and right_remove; unlisted rights answer 0.
    std::map<std::string, platform::os_status_t> get_status;
    std::map<std::string, platform::os_status_t> remove_status;

    int creates = 0;
    int copies = 0;
    std::vector<platform::authorization_handle_t> freed;
    std::vector<platform::authorization_item_t> copied_rights;
    platform::authorization_flags_t copied_flags = 0;
    std::vector<std::string> defined;
    std::vector<std::string> removed;

    [[nodiscard]] int calls() const {
        return creates + copies + static_cast<int>(freed.size() + defined.size() + removed.size());
    }

    platform::authorization_created_t create() override { return issue(); }
    platform::authorization_created_t create_from_external_form(
        std::span<const std::uint8_t>, const std::optional<platform::audit_token_t>&) override {
        return issue();
    }
    platform::os_status_t copy_rights(platform::authorization_handle_t,
                                      const std::vector<platform::authorization_item_t>& rights,
                                      platform::authorization_flags_t flags) override {
        ++copies;
        copied_rights = rights;
        copied_flags = flags;
        return copy_status;
    }
    platform::os_status_t free(platform::authorization_handle_t reference,
                               platform::authorization_flags_t) override {
        freed.push_back(reference);
        return 0;
    }
    platform::authorization_right_lookup_t right_get(const std::string& right) override {
        const auto found = get_status.find(right);
        return {found == get_status.end() ? 0 : found->second, std::nullopt};
    }
    platform::os_status_t right_set(platform::authorization_handle_t, const std::string& right,
                                    const std::string&, const std::optional<std::string>&,
                                    const std::optional<std::string>&) override {
        defined.push_back(right);
        return 0;
    }
    platform::os_status_t right_remove(platform::authorization_handle_t, const std::string& right) override {
        removed.push_back(right);
        const auto found = remove_status.find(right);
        return found == remove_status.end() ? 0 : found->second;
    }

private:
    platform::authorization_created_t issue() {
        ++creates;
        if (create_status != 0) {
            return {create_status, {}};
        }
        return {0, platform::authorization_ref_t(*this, kHandle)};
    }
};

}  // namespace fixtures
