// The helper object in-process: the idle exit test, the open-files check and the request boundary.
#include "core/helper_tool.h"

#include <gtest/gtest.h>

#include <atomic>

#include "core/embedded_resources.h"
#include "core/request_dispatch.h"
#include "fixtures/sandbox.h"
#include "support/trace_log.h"

namespace {

using core::helper_tool_t;
using core::open_files_limit_t;
using core::open_files_query_t;

// A clock whose slices pass at once.
class fake_clock_t final : public platform::wall_clock_t {
public:
    explicit fake_clock_t(double now) : now_(now) {}
    [[nodiscard]] double now() const override { return now_.load(); }
    void sleep_for(double seconds) const override {
        now_.store(now_.load() + seconds);
        ++slices;
    }
    mutable std::atomic<int> slices{0};

private:
    mutable std::atomic<double> now_;
};

constexpr std::uint64_t kUnlimited = 0x7FFFFFFFFFFFFFFFull;

class HelperTool : public testing::Test {
protected:
    void SetUp() override {
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
    }

    std::shared_ptr<helper_tool_t> make_helper(open_files_query_t limits = {
                                                   open_files_limit_t{65536, kUnlimited}, 0}) {
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        dependencies.clock = &clock_;
        dependencies.query_open_files_limit = [limits] { return limits; };
        return std::make_shared<helper_tool_t>(std::move(dependencies));
    }

    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }
    [[nodiscard]] static std::size_t count(const std::string& text, const std::string& needle) {
        std::size_t n = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }

    fixtures::sandbox_t sandbox_;
    fake_clock_t clock_{1000.0};
    std::optional<platform::bundle_t> bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
};

TEST_F(HelperTool, IdleExitIsDueAtExactlyTenSecondsAfterTheLastAdmission) {
    const auto helper = make_helper();
    EXPECT_FALSE(helper->idle_exit_due()) << "no client has come and gone yet";
    helper->setLastAccess(990.0001);
    helper->setCanQuit(true);
    EXPECT_FALSE(helper->idle_exit_due());
    helper->setLastAccess(990.0);
    EXPECT_TRUE(helper->idle_exit_due());
    helper->setCanQuit(false);
    EXPECT_FALSE(helper->idle_exit_due()) << "a connected client keeps the helper";
}

TEST_F(HelperTool, RunTurnsOneSecondSlicesUntilTheExitTestPasses) {
    const auto helper = make_helper();
    helper->setLastAccess(995.0);
    helper->setCanQuit(true);
    helper->run();
    EXPECT_EQ(clock_.slices.load(), 5);
    EXPECT_DOUBLE_EQ(clock_.now(), 1005.0);
}

TEST_F(HelperTool, RaisesTheOpenFilesLimitOnlyWhenTheSoftLimitIsLowAndTheHardLimitFinite) {
    struct case_t {
        open_files_limit_t limits;
        bool raises;
        std::size_t warnings;
    };
    const case_t cases[] = {
        {{256, 10240}, true, 2},
        {{1023, 10240}, true, 2},
        {{1024, 10240}, false, 1},
        {{256, kUnlimited}, false, 0},
    };
    sandbox_.install_all_fake_tools();
    for (const auto& c : cases) {
        sandbox_.clear_tool_log();
        std::filesystem::remove(sandbox_.path("/var/log/quorvix.trace"));
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
        std::optional<bool> reply;
        make_helper({c.limits, 0})->fixOSMaxFilesIfNeedAndReply([&](bool value) { reply = value; });
        EXPECT_EQ(reply, true);
        const auto calls = sandbox_.tool_calls();
        if (c.raises) {
            ASSERT_EQ(calls.size(), 1u) << c.limits.soft;
            EXPECT_EQ(calls[0], (std::vector<std::string>{sandbox_.path("/bin/launchctl"), "limit",
                                                          "maxfiles", "65536", "1000000"}));
        } else {
            EXPECT_TRUE(calls.empty()) << c.limits.soft;
        }
        EXPECT_EQ(count(trace(), "warning"), c.warnings) << c.limits.soft;
    }
}

TEST_F(HelperTool, OpenFilesCheckAnswersYesWhenTheLimitsCannotBeRead) {
    std::optional<bool> reply;
    make_helper({std::nullopt, EPERM})->fixOSMaxFilesIfNeedAndReply([&](bool value) { reply = value; });
    EXPECT_EQ(reply, true);
    EXPECT_NE(trace().find("errno 1"), std::string::npos);
}

// Replies through the dispatcher, as a connection would deliver them.
std::optional<platform::xpc::value_t> dispatch(helper_tool_t& helper, core::request_id_t id,
                                               std::vector<platform::xpc::value_t> arguments) {
    platform::xpc::request_t request;
    request.method = &core::kExportedInterface[static_cast<std::size_t>(id)];
    request.arguments = std::move(arguments);
    std::optional<platform::xpc::value_t> reply;
    core::dispatch_request(helper, request, [&](const platform::xpc::value_t& value) {
        EXPECT_FALSE(reply) << "a request replies once";
        reply = value;
    });
    return reply;
}

TEST_F(HelperTool, ToolThatCannotStartGivesTheFailureReplyAndAnErrorRecord) {
    // No launchctl and no sysctl in the sandbox: the low limit makes the check run launchctl.
    const auto helper = make_helper({open_files_limit_t{256, 4096}, 0});
    const auto reply = dispatch(*helper, core::request_id_t::fix_max_files, {});
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::get<bool>(*reply), false);
    EXPECT_EQ(count(trace(), "  error "), 1u) << trace();
    const auto darkwake = dispatch(*helper, core::request_id_t::set_darkwake_mode, {std::int32_t{3}});
    ASSERT_TRUE(darkwake);
    EXPECT_EQ(std::get<std::int32_t>(*darkwake), -1);
    EXPECT_EQ(count(trace(), "  error "), 2u) << trace();
    // The helper goes on serving.
    const auto version = dispatch(*helper, core::request_id_t::get_version, {});
    ASSERT_TRUE(version);
    EXPECT_EQ(std::get<std::optional<std::string>>(*version), "2.26");
}

TEST_F(HelperTool, RestartIsAcceptedAndNeverAnswered) {
    const auto helper = make_helper();
    EXPECT_FALSE(
        dispatch(*helper, core::request_id_t::restart, {std::optional<std::string>("/Applications/Q.app")}));
    EXPECT_EQ(trace(), "");
}

TEST_F(HelperTool, EmbeddedInformationListNamesTheServiceAndItsOnlyClient) {
    ASSERT_TRUE(bundle_);
    const std::string identifier = std::string("com.trellwick.quorvix-qv-") + QV_LABEL_DIGITS;
    EXPECT_EQ(bundle_->identifier(), identifier + ".Helper");
    EXPECT_EQ(bundle_->string_for_key("CFBundleName"), identifier + ".Helper");
    EXPECT_EQ(bundle_->short_version(), "2.26");
    EXPECT_EQ(bundle_->string_for_key("CFBundleVersion"), "2.26");
    EXPECT_EQ(bundle_->string_for_key("CFBundleInfoDictionaryVersion"), "6.0");
    const auto clients = bundle_->info().get("SMAuthorizedClients");
    ASSERT_TRUE(clients);
    ASSERT_EQ(clients->size(), 1u);
    EXPECT_EQ(clients->at(0)->as_string(), "identifier \"" + identifier +
                                               "\"                and anchor apple generic and certificate "
                                               "1[field.1.2.840.113635.100.6.2.6] /* exists */ and "
                                               "certificate leaf[field.1.2.840.113635.100.6.1.13] "
                                               "/* exists */ and certificate leaf[subject.OU] = " QV_TEAM_ID);

    const auto launchd = platform::property_list_t::parse(resources::kEmbeddedLaunchdPlist);
    ASSERT_TRUE(launchd);
    EXPECT_EQ(launchd->root().string_for_key("Label"), identifier + ".Helper");
    const auto services = launchd->root().get("MachServices");
    ASSERT_TRUE(services);
    EXPECT_EQ(services->size(), 1u);
    EXPECT_EQ(services->get(identifier + ".Helper")->as_bool(), true);
    // Each label is padded with 18 blanks after its closing tag.
    EXPECT_EQ(count(std::string(resources::kEmbeddedLaunchdPlist),
                    ".Helper</string>" + std::string(18, ' ') + "\n"),
              1u);
    EXPECT_EQ(
        count(std::string(resources::kEmbeddedLaunchdPlist), ".Helper</key>" + std::string(18, ' ') + "\n"),
        1u);
    EXPECT_EQ(
        count(std::string(resources::kEmbeddedInfoPlist), ".Helper</string>" + std::string(18, ' ') + "\n"),
        2u);
}

}  // namespace
