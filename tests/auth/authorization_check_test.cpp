// The check of a client's authorization before a privileged request, the request that is only that
// check, and the helper's reset of its rights.
#include <gtest/gtest.h>

#include <algorithm>

#include "auth/helper_tool_common.h"
#include "core/embedded_resources.h"
#include "core/helper_tool.h"
#include "core/request_dispatch.h"
#include "fixtures/counting_authorization.h"
#include "fixtures/sandbox.h"
#include "support/trace_log.h"

namespace {

using core::request_id_t;
using bytes_t = std::vector<std::uint8_t>;

class AuthorizationCheck : public testing::Test {
protected:
    void SetUp() override {
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
    }
    std::shared_ptr<core::helper_tool_t> make_helper(platform::authorization_services_t* services) {
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        dependencies.authorization = services;
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }
    // The reply of check_global_settings_auth:reply: as a connection would deliver it.
    static bool global_settings_reply(core::helper_tool_t& helper, const core::data_arg_t& data) {
        platform::xpc::request_t request;
        request.method =
            &core::kExportedInterface[static_cast<std::size_t>(request_id_t::check_global_settings_auth)];
        request.arguments = {data};
        std::optional<bool> reply;
        core::dispatch_request(helper, request, [&](const platform::xpc::value_t& value) {
            EXPECT_FALSE(reply) << "a request replies once";
            reply = std::get<bool>(value);
        });
        EXPECT_TRUE(reply);
        return reply.value_or(true);
    }
    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }
    [[nodiscard]] std::size_t lines_with(const std::string& needle) const {
        std::istringstream lines(trace());
        std::size_t n = 0;
        for (std::string line; std::getline(lines, line);) {
            n += line.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    fixtures::sandbox_t sandbox_;
    std::optional<platform::bundle_t> bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
    fixtures::counting_authorization_t counting_;
};

TEST_F(AuthorizationCheck, RefusesAnythingButThirtyTwoBytesWithoutCallingThePlatform) {
    const core::data_arg_t cases[] = {std::nullopt, bytes_t{}, bytes_t(31, 1), bytes_t(33, 1)};
    const auto helper = make_helper(&counting_);
    for (const auto& data : cases) {
        const auto error = helper->check_authorization(data, core::selector_of(request_id_t::install));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, -50);
        EXPECT_FALSE(global_settings_reply(*helper, data));
    }
    EXPECT_EQ(counting_.calls(), 0);
    EXPECT_EQ(lines_with("error"), 8u) << trace();
    // A helper built without Authorization Services grants nothing.
    EXPECT_FALSE(global_settings_reply(*make_helper(nullptr), bytes_t(32, 0)));
    EXPECT_EQ(lines_with("The operation couldn't be completed. (OSStatus error -50.)"), 8u) << trace();
}

TEST_F(AuthorizationCheck, AsksForTheRequestsOwnRightWithExtendAndInteractionAndFreesTheReference) {
    const auto helper = make_helper(&counting_);
    for (const core::request_spec_t& row : core::kRequests) {
        counting_ = {};
        EXPECT_FALSE(helper->check_authorization(bytes_t(32, 0), row.selector)) << row.selector;
        ASSERT_EQ(counting_.copied_rights.size(), 1u);
        const platform::authorization_item_t& item = counting_.copied_rights.front();
        EXPECT_EQ(item.name, auth::helper_tool_common_t::authorization_right_for_command(row.selector));
        EXPECT_TRUE(item.value.empty());
        EXPECT_EQ(item.flags, 0u);
        EXPECT_EQ(counting_.copied_flags, 3u);
        EXPECT_EQ(counting_.freed, std::vector<platform::authorization_handle_t>{counting_.kHandle});
        EXPECT_EQ(lines_with(std::string(row.selector)), 1u) << row.selector;
    }
    EXPECT_EQ(lines_with("com.trellwick.Quorvix.Helper.global_settings"), 1u);
    EXPECT_EQ(lines_with("error"), 0u) << trace();
    EXPECT_TRUE(global_settings_reply(*helper, bytes_t(32, 0)));
}

TEST_F(AuthorizationCheck, RefusalCarriesTheFailingStatusAndFreesWhatWasCreated) {
    struct case_t {
        platform::os_status_t create_status, copy_status;
        int copies;
        std::size_t frees;
    };
    const case_t cases[] = {{-60002, 0, 0, 0}, {0, -60005, 1, 1}, {0, -60006, 1, 1}};
    const auto helper = make_helper(&counting_);
    for (const case_t& c : cases) {
        counting_ = {};
        counting_.create_status = c.create_status;
        counting_.copy_status = c.copy_status;
        const platform::os_status_t expected = c.create_status != 0 ? c.create_status : c.copy_status;
        const auto error =
            helper->check_authorization(bytes_t(32, 0), core::selector_of(request_id_t::uninstall));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, expected);
        EXPECT_EQ(counting_.copies, c.copies);
        EXPECT_EQ(counting_.freed.size(), c.frees);
        EXPECT_EQ(lines_with("Code=" + std::to_string(expected)), 1u) << trace();
        EXPECT_FALSE(global_settings_reply(*helper, bytes_t(32, 0)));
    }
}

TEST_F(AuthorizationCheck, ResetWarnsForEachRightTheToolCannotRemoveAndGoesOn) {
    sandbox_.install_all_fake_tools();
    sandbox_.set_tool_status("security", 1);
    make_helper(&counting_)->_resetAuthDB();
    const auto calls = sandbox_.tool_calls();
    ASSERT_EQ(calls.size(), 4u);
    for (const std::string& right : auth::helper_tool_common_t::authRightNames()) {
        EXPECT_NE(std::find(calls.begin(), calls.end(),
                            std::vector<std::string>{sandbox_.path("/usr/bin/security"), "authorizationdb",
                                                     "remove", right}),
                  calls.end())
            << right;
        EXPECT_EQ(lines_with(right), 1u) << right;
    }
    EXPECT_EQ(lines_with("warning"), 4u) << trace();
    EXPECT_EQ(counting_.calls(), 0) << "the reset goes through the tool, not the services";
}

}  // namespace
