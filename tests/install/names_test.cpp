// The names of a namespace, its validation, and the identity of bundles.
#include <gtest/gtest.h>

#include "install/accepted_namespace.h"
#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

using core::helper_tool_t;
class NamespaceNames : public helper_tests::HelperSandbox {};
class HelperIdentity : public helper_tests::HelperSandbox {};

TEST_F(NamespaceNames, NamesOfANamespaceLieUnderTheSystemRootAndLabelsMatchTheirJobFiles) {
    const std::string root = sandbox_.root();
    const install::namespace_names_t abc("abc");
    EXPECT_EQ(abc.svc_label(), "com.trellwick.abc.service");
    EXPECT_EQ(abc.svc_file_path(), root + "/Library/LaunchDaemons/com.trellwick.abc.service.plist");
    EXPECT_EQ(abc.agent_label(), "com.trellwick.abc.Frontend");
    EXPECT_EQ(abc.agent_file_path(), root + "/Library/LaunchAgents/com.trellwick.abc.Frontend.plist");
    EXPECT_EQ(abc.global_config_dir(), root + "/etc/abc");
    EXPECT_EQ(abc.global_trace_file(), root + "/var/log/abc.trace");
    EXPECT_EQ(abc.hub_agent_file(), root + "/Library/LaunchAgents/com.trellwick.abc.Hub.plist");
    EXPECT_EQ(abc.wrapper_tool(), root + "/usr/local/bin/qvwrap_abc");

    // Only the helper's own label trades underscores for hyphens.
    const install::namespace_names_t abc_de("abc_de");
    EXPECT_EQ(abc_de.helper_job_label(), "com.trellwick.abc-de.Helper");
    EXPECT_EQ(abc_de.svc_label(), "com.trellwick.abc_de.service");
    EXPECT_EQ(abc_de.global_config_dir(), root + "/etc/abc_de");

    EXPECT_EQ(install::namespace_names_t("").global_config_dir(), root + "/etc");
}

TEST(NamespaceValidation, AcceptsOnlyAsciiLettersDigitsAndUnderscoreOverTheWholeString) {
    struct case_t {
        std::optional<std::string> qv_namespace;
        bool valid;
    };
    const case_t cases[] = {
        {"abc_de", true},       {"ABC123", true}, {"", true},       {"abc-de", false},
        {"a.b", false},         {"a/b", false},   {"a b", false},   {"..", false},
        {"caf\xC3\xA9", false}, {"abc\n", false}, {"\nabc", false}, {std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(helper_tool_t::_validateQVNamespace(c.qv_namespace), c.valid)
            << (c.qv_namespace ? "\"" + *c.qv_namespace + "\"" : "nil");
    }
}

TEST(AcceptedNamespace, NamesOnlyNamespacesThatAreValidAndNotEmpty) {
    EXPECT_FALSE(install::accepted_namespace(std::nullopt));
    EXPECT_FALSE(install::accepted_namespace(""));
    EXPECT_FALSE(install::accepted_namespace("a-b"));
    const auto names = install::accepted_namespace("my_space_1");
    ASSERT_TRUE(names);
    EXPECT_EQ(names->qv_namespace(), "my_space_1");
}

TEST_F(HelperIdentity, AppBundleIsTheHelperIdentifierWithoutATrailingHelper) {
    struct case_t {
        std::string identifier;
        std::string app_bundle;
    };
    const case_t cases[] = {
        {"com.trellwick.x.Helper", "com.trellwick.x"},
        {"com.trellwick.x", "com.trellwick.x"},
        {"com.trellwick.x.Helper.Helper", "com.trellwick.x.Helper"},
        {"com.trellwick.x.helper", "com.trellwick.x.helper"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(make_helper(c.identifier)->app_bundle(), c.app_bundle) << c.identifier;
    }
    EXPECT_EQ(make_helper()->app_bundle(), std::string("com.trellwick.quorvix-qv-") + QV_LABEL_DIGITS);
}

TEST_F(HelperIdentity, AppVersionIsTheShortVersionOfTheBundleAtThePath) {
    const auto write_bundle = [&](const std::string& name, const std::string& entries) {
        sandbox_.write_file("/Applications/" + name + "/Contents/Info.plist",
                            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" +
                                entries + "</dict></plist>\n");
        return sandbox_.path("/Applications/" + name);
    };
    const auto helper = make_helper();
    const std::string both = write_bundle("Both.app",
                                          "<key>CFBundleShortVersionString</key><string>2.26</string>"
                                          "<key>CFBundleVersion</key><string>2.26.1043</string>");
    EXPECT_EQ(helper->_appVersionAtPath(both), "2.26");
    const std::string build_only = write_bundle("Build.app", "<key>CFBundleVersion</key><string>7</string>");
    EXPECT_EQ(helper->_appVersionAtPath(build_only), std::nullopt);
    EXPECT_EQ(helper->_appVersionAtPath(sandbox_.path("/Applications/Missing.app")), std::nullopt);
    sandbox_.write_file("/Applications/Broken.app/Contents/Info.plist", "not a property list");
    EXPECT_EQ(helper->_appVersionAtPath(sandbox_.path("/Applications/Broken.app")), std::nullopt);
}

}  // namespace
