// The uninstall request in a sandbox root: which job files and helper tools go with one flavor or with
// every flavor, what happens when the bundle is missing, and which input is refused.
#include <gtest/gtest.h>

#include "commands/process_sleepers.h"
#include "install_fixture.h"

namespace {

using namespace install_tests;

class UninstallRequest : public InstallSandbox {
protected:
    std::optional<bool> uninstall(core::helper_tool_t& helper, const std::string& bundle, bool remove_flavors,
                                  const std::string& qv_namespace = "my_space_1") {
        return ask<bool>([&](auto reply) {
            helper.uninstall_quorvix_with_auth_data(auth_form(), bundle, std::string("/Users/me/config"),
                                                    qv_namespace, std::string("someone"),
                                                    remove_flavors ? 1 : 0, reply);
        });
    }
    void put(const std::string& path) const { sandbox_.write_file(path, "<plist/>"); }
};

TEST_F(UninstallRequest, RemovesTheFilesOfItsOwnNamespaceOrOfEveryFlavor) {
    struct file_t {
        std::string path;
        bool own_flavor_removes;
        bool every_flavor_removes;
    };
    const file_t files[] = {
        {"/Library/LaunchAgents/com.trellwick.my_space_1.Frontend.plist", true, false},
        {"/Library/LaunchDaemons/com.trellwick.my_space_1.service.plist", true, false},
        {"/Library/PrivilegedHelperTools/com.trellwick.my-space-1.Helper", true, false},
        {"/Library/LaunchDaemons/com.trellwick.my-space-1.Helper.plist", true, false},
        {"/Library/LaunchDaemons/com.trellwick.my_space_10.service.plist", false, false},
        {"/Library/LaunchDaemons/com.trellwick.my_space_1x.service.plist", false, false},
        {"/Library/LaunchAgents/com.trellwick.quorvix_b.Frontend.plist", false, true},
        {"/Library/LaunchDaemons/com.trellwick.quorvix_b.service.plist", false, true},
        {"/Library/PrivilegedHelperTools/com.trellwick.quorvix-qv-00000001.Helper", false, true},
        {"/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000001.Helper.plist", false, true},
        {"/Library/LaunchAgents/com.trellwick.other.Frontend.plist", false, false},
        {"/usr/local/bin/com.trellwick.my_space_1.tool", false, false},
    };
    for (const bool every_flavor : {false, true}) {
        for (const auto& file : files) {
            put(file.path);
        }
        const std::string bundle = make_bundle("/Applications/Quorvix.app", app_identifier(), "4.5.6");
        restart_trace();
        sandbox_.clear_tool_log();
        const auto helper = make_installer();

        EXPECT_EQ(uninstall(*helper, bundle, every_flavor), true) << trace();

        for (const auto& file : files) {
            const bool removed = every_flavor ? file.every_flavor_removes : file.own_flavor_removes;
            EXPECT_EQ(fs::exists(sandbox_.path(file.path)), !removed)
                << file.path << " every flavor " << every_flavor;
        }
        EXPECT_FALSE(fs::exists(bundle));
        EXPECT_EQ(helper->qvNamespace(), "my_space_1");
        EXPECT_EQ(calls_of("/bin/launchctl"),
                  (helper_tests::calls_t{{"bootout", "system", service_job("my_space_1")}}));
        EXPECT_EQ(records_naming("info", "shared memory of version 4.5.6"), 1u) << trace();
        // The helper job file matches both the job and the helper-job wildcards: the second try fails.
        EXPECT_EQ(records("warning").size(), every_flavor ? 2u : 0u) << trace();
        // The rights are reset once the bundle is gone.
        const auto order = tool_order();
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(order.back(), "/usr/bin/security");
    }
}

TEST_F(UninstallRequest, AMissingBundleAnswersNoAfterTheJobFilesAreRemoved) {
    put("/Library/LaunchDaemons/com.trellwick.my_space_1.service.plist");
    put("/Library/LaunchAgents/com.trellwick.my_space_1.Frontend.plist");

    EXPECT_EQ(uninstall(*make_installer(), sandbox_.path("/Applications/Quorvix.app"), false), false);

    EXPECT_FALSE(fs::exists(service_job("my_space_1")));
    EXPECT_FALSE(fs::exists(agent_job("my_space_1")));
    EXPECT_EQ(records_naming("info", "shared memory"), 0u) << trace();
    EXPECT_EQ(records("error").size(), 1u) << trace();
    EXPECT_TRUE(calls_of("/usr/bin/security").empty()) << "the rights stay";
}

TEST_F(UninstallRequest, EndsTheApplicationsProcessesOrThoseOfEveryFlavor) {
    process_testing::make_app_bundle(sandbox_, "/Applications/Quorvix.app", app_identifier());
    process_testing::make_app_bundle(sandbox_, "/Applications/Other.app", "com.trellwick.quorvix_b");
    for (const bool every_flavor : {false, true}) {
        auto own = process_testing::spawn_sleeper(
            sandbox_.path("/Applications/Quorvix.app/Contents/MacOS/Quorvix"), {});
        auto other = process_testing::spawn_sleeper(
            sandbox_.path("/Applications/Other.app/Contents/MacOS/Quorvix"), {});
        const std::string bundle = make_bundle("/Users/Shared/Quorvix.app", app_identifier(), std::nullopt);

        EXPECT_EQ(uninstall(*make_installer(), bundle, every_flavor), true);

        EXPECT_FALSE(own.running());
        EXPECT_EQ(other.running(), !every_flavor);
    }
}

TEST_F(UninstallRequest, RefusesBadInput) {
    const struct {
        const char* what;
        std::string bundle;
        std::string qv_namespace;
        bool authorized;
        bool answer;
        bool stores_namespace;
    } cases[] = {
        {"upper-case .APP", "/Applications/Quorvix.APP", "my_space_1", true, false, true},
        {".app.zip", "/Applications/Quorvix.app.zip", "my_space_1", true, false, true},
        {"no .app", "/Applications/Quorvix", "my_space_1", true, false, true},
        {"empty namespace", "/Applications/Quorvix.app", "", true, false, false},
        {"invalid namespace", "/Applications/Quorvix.app", "my space", true, false, false},
        {"not authorized", "/Applications/Quorvix.app", "my_space_1", false, false, false},
        {"trailing slash", "/Applications/Quorvix.app/", "my_space_1", true, true, true},
    };
    for (const auto& c : cases) {
        for (const char* name : {"Quorvix.APP", "Quorvix.app.zip", "Quorvix", "Quorvix.app"}) {
            make_bundle(std::string("/Applications/") + name, app_identifier(), "1.0.0");
        }
        authorization_.copy_status = c.authorized ? 0 : -60005;
        sandbox_.clear_tool_log();
        restart_trace();
        const auto helper = make_installer();

        EXPECT_EQ(uninstall(*helper, sandbox_.path(c.bundle), false, c.qv_namespace), c.answer) << c.what;

        EXPECT_EQ(helper->qvNamespace().has_value(), c.stores_namespace) << c.what;
        EXPECT_EQ(fs::exists(sandbox_.path(c.bundle)), !c.answer) << c.what;
        if (!c.answer) {
            EXPECT_EQ(records("error").size(), c.authorized ? 1u : 2u) << c.what << "\n" << trace();
            EXPECT_TRUE(sandbox_.tool_calls().empty()) << c.what << ": nothing ended, nothing reset";
        }
    }
}

}  // namespace
