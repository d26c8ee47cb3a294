// The rights table shared with the client, and its operations on the rights database.
#include <gtest/gtest.h>

#include <algorithm>

#include "auth/counting_authorization.h"
#include "auth/helper_tool_common.h"
#include "core/request_table.h"
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

TEST(RightsTable, GivesTheFourPrivilegedRequestsTheirRightRuleAndPromptAndEveryOtherAllow) {
    struct row_t {
        request_id_t id;
        std::string right, rule, prompt;
    };
    const row_t rows[] = {
        {request_id_t::install, kInstall, "is-admin", "Quorvix is trying to install itself"},
        {request_id_t::install_service, kService, "is-admin", "Quorvix is trying to install global service"},
        {request_id_t::uninstall, kUninstall, "authenticate-admin", "Quorvix is trying to uninstall itself"},
        {request_id_t::check_global_settings_auth, kGlobal, "authenticate-admin",
         "Quorvix is trying to unlock the global settings"},
    };
    const auto table = helper_tool_common_t::commandInfo();
    EXPECT_EQ(table.size(), 4u);
    for (const row_t& row : rows) {
        const auto found = table.find(core::selector_of(row.id));
        ASSERT_NE(found, table.end()) << row.right;
        EXPECT_EQ(found->second.authRightName, row.right);
        EXPECT_EQ(found->second.authRightDefault, row.rule);
        EXPECT_EQ(found->second.authRightDescription, row.prompt);
    }
    for (const core::request_spec_t& spec : core::kRequests) {
        const auto row =
            std::find_if(std::begin(rows), std::end(rows), [&](const row_t& r) { return r.id == spec.id; });
        EXPECT_EQ(helper_tool_common_t::authorization_right_for_command(spec.selector),
                  row == std::end(rows) ? "allow" : row->right)
            << spec.selector;
    }
    // A selector text without its last colon is another selector.
    EXPECT_EQ(helper_tool_common_t::authorization_right_for_command("check_global_settings_auth:reply"),
              "allow");

    auto names = helper_tool_common_t::authRightNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kGlobal, kInstall, kService, kUninstall}));
    std::vector<std::string> enumerated;
    helper_tool_common_t::enumerate_rights_using_block(
        [&](const std::string& right, const std::string&, const std::string&) {
            enumerated.push_back(right);
        });
    std::sort(enumerated.begin(), enumerated.end());
    EXPECT_EQ(enumerated, names);
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

TEST_F(RightsDatabase, SetupLeavesAnExistingRightAloneEvenWithAnotherRule) {
    const auto authorization = services_.create();
    ASSERT_EQ(authorization.status, 0);
    ASSERT_EQ(services_.right_set(authorization.reference.handle(), kUninstall, "deny", "kept", std::nullopt),
              0);
    helper_tool_common_t::setup_authorization_rights(authorization.reference);
    helper_tool_common_t::setup_authorization_rights(authorization.reference);

    EXPECT_EQ(definition(kUninstall)->rule, "deny");
    EXPECT_EQ(definition(kUninstall)->description, "kept");
    const auto install = definition(kInstall);
    ASSERT_TRUE(install);
    EXPECT_EQ(install->rule, "is-admin");
    EXPECT_EQ(install->description, "Quorvix is trying to install itself");
    EXPECT_EQ(install->localization_table, "Common");
    EXPECT_EQ(definition(kGlobal)->rule, "authenticate-admin");
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
