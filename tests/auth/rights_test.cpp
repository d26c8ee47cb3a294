// The rights table shared with the client, and its operations on the rights database.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "auth/helper_tool_common.h"
#include "core/request_table.h"
#include "fixtures/counting_authorization.h"
#include "fixtures/sandbox.h"
#include "platform/authorization_services.h"
#include "support/trace_log.h"

namespace {

using auth::helper_tool_common_t;
using core::request_id_t;

const std::string kInstall = "com.trellwick.Quorvix.Helper.install_quorvix";
const std::string kService = "com.trellwick.Quorvix.Helper.install_service";
const std::string kUninstall = "com.trellwick.Quorvix.Helper.uninstall_quorvix";
const std::string kGlobal = "com.trellwick.Quorvix.Helper.global_settings";

TEST(RightsTable, GivesTheFourPrivilegedRequestsTheirOwnRightAndEveryOtherAllow) {
    const std::map<request_id_t, std::string> privileged = {
        {request_id_t::install, kInstall},
        {request_id_t::install_service, kService},
        {request_id_t::uninstall, kUninstall},
        {request_id_t::check_global_settings_auth, kGlobal}};
    EXPECT_EQ(helper_tool_common_t::commandInfo().size(), 4u);
    for (const core::request_spec_t& row : core::kRequests) {
        const auto found = privileged.find(row.id);
        EXPECT_EQ(helper_tool_common_t::authorization_right_for_command(row.selector),
                  found == privileged.end() ? "allow" : found->second)
            << row.selector;
    }
    auto names = helper_tool_common_t::authRightNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kGlobal, kInstall, kService, kUninstall}));
}

class RightsDatabase : public testing::Test {
protected:
    void SetUp() override {
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
    }
    [[nodiscard]] std::optional<platform::authorization_right_definition_t> definition(
        const std::string& right) {
        return services_.right_get(right).definition;
    }

    fixtures::sandbox_t sandbox_;
    platform::sqlite_authorization_services_t services_{sandbox_.path("/var/db/auth.db")};
    fixtures::counting_authorization_t counting_;
};

TEST_F(RightsDatabase, SetupDefinesARightOnlyWhenTheDatabaseAnswersDenied) {
    counting_.get_status = {{kInstall, platform::errAuthorizationDenied},
                            {kService, platform::errAuthorizationSuccess},
                            {kUninstall, platform::errAuthorizationInternal},
                            {kGlobal, platform::errAuthorizationDenied}};
    helper_tool_common_t::setup_authorization_rights(counting_.create().reference);
    std::sort(counting_.defined.begin(), counting_.defined.end());
    EXPECT_EQ(counting_.defined, (std::vector<std::string>{kGlobal, kInstall}));
}

TEST_F(RightsDatabase, SetupDefinesEachRightWithItsDefaultRuleAndLeavesAnExistingOneAlone) {
    const auto authorization = services_.create();
    ASSERT_EQ(authorization.status, 0);
    helper_tool_common_t::setup_authorization_rights(authorization.reference);
    const std::map<std::string, std::pair<std::string, std::string>> defaults = {
        {kInstall, {"is-admin", "Quorvix is trying to install itself"}},
        {kService, {"is-admin", "Quorvix is trying to install global service"}},
        {kUninstall, {"authenticate-admin", "Quorvix is trying to uninstall itself"}},
        {kGlobal, {"authenticate-admin", "Quorvix is trying to unlock the global settings"}},
    };
    for (const auto& [right, rule_and_description] : defaults) {
        const auto defined = definition(right);
        ASSERT_TRUE(defined) << right;
        EXPECT_EQ(defined->rule, rule_and_description.first) << right;
        EXPECT_EQ(defined->description, rule_and_description.second) << right;
        EXPECT_EQ(defined->localization_table, "Common") << right;
    }

    ASSERT_EQ(services_.right_set(authorization.reference.handle(), kUninstall, "deny", "kept", std::nullopt),
              0);
    helper_tool_common_t::setup_authorization_rights(authorization.reference);
    EXPECT_EQ(definition(kUninstall)->rule, "deny");
    EXPECT_EQ(definition(kUninstall)->description, "kept");
}

TEST_F(RightsDatabase, DeleteRemovesEveryRightAndRecordsEachOneItCannot) {
    const auto authorization = services_.create();
    helper_tool_common_t::setup_authorization_rights(authorization.reference);
    ASSERT_TRUE(definition(kService));
    helper_tool_common_t::delete_authorization_rights(authorization.reference);
    for (const std::string& right : helper_tool_common_t::authRightNames()) {
        EXPECT_EQ(services_.right_get(right).status, platform::errAuthorizationDenied) << right;
    }
    EXPECT_EQ(sandbox_.read_file("/var/log/quorvix.trace"), "");

    counting_.remove_status = {{kService, platform::errAuthorizationDenied}};
    helper_tool_common_t::delete_authorization_rights(counting_.create().reference);
    EXPECT_EQ(counting_.removed.size(), 4u) << "the other rights are still removed";
    const std::string trace = sandbox_.read_file("/var/log/quorvix.trace");
    EXPECT_NE(trace.find(kService), std::string::npos) << trace;
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 1) << trace;
}

}  // namespace
