// The names of a namespace, its validation, and the identity of bundles.
#include <gtest/gtest.h>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

using core::helper_tool_t;

class NamespaceNames : public helper_tests::HelperSandbox {};

TEST_F(NamespaceNames, NamesLieUnderTheSystemRootAndOnlyTheHelperLabelHyphenates) {
    const std::string root = sandbox_.root();
    const install::namespace_names_t names("abc_de");
    EXPECT_EQ(names.svc_label(), "com.trellwick.abc_de.service");
    EXPECT_EQ(names.svc_file_path(), root + "/Library/LaunchDaemons/com.trellwick.abc_de.service.plist");
    EXPECT_EQ(names.agent_label(), "com.trellwick.abc_de.Frontend");
    EXPECT_EQ(names.agent_file_path(), root + "/Library/LaunchAgents/com.trellwick.abc_de.Frontend.plist");
    EXPECT_EQ(names.global_config_dir(), root + "/etc/abc_de");
    EXPECT_EQ(names.global_trace_file(), root + "/var/log/abc_de.trace");
    EXPECT_EQ(names.helper_job_label(), "com.trellwick.abc-de.Helper");
    EXPECT_EQ(names.hub_agent_file(), root + "/Library/LaunchAgents/com.trellwick.abc_de.Hub.plist");
    EXPECT_EQ(names.wrapper_tool(), root + "/usr/local/bin/qvwrap_abc_de");
    EXPECT_EQ(install::namespace_names_t("").global_config_dir(), root + "/etc");
}

TEST(NamespaceValidation, AcceptsOnlyAsciiLettersDigitsAndUnderscoreOverTheWholeString) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {"abc_de", true},       {"ABC123", true}, {"", true},       {"abc-de", false},
        {"a.b", false},         {"a/b", false},   {"a b", false},   {"..", false},
        {"caf\xC3\xA9", false}, {"abc\n", false}, {"\nabc", false}, {"abc\t", false},
        {std::nullopt, false},
    };
    for (const auto& [qv_namespace, valid] : cases) {
        EXPECT_EQ(helper_tool_t::_validateQVNamespace(qv_namespace), valid) << qv_namespace.value_or("(nil)");
    }
}

TEST_F(NamespaceNames, AppBundleDropsATrailingHelperAndVersionsComeFromTheShortVersionString) {
    const std::pair<std::string, std::string> identifiers[] = {
        {"com.trellwick.x.Helper", "com.trellwick.x"},
        {"com.trellwick.x", "com.trellwick.x"},
        {"com.trellwick.x.Helper.Helper", "com.trellwick.x.Helper"},
        {"com.trellwick.x.helper", "com.trellwick.x.helper"},
    };
    for (const auto& [identifier, app_bundle] : identifiers) {
        EXPECT_EQ(make_helper(identifier)->app_bundle(), app_bundle) << identifier;
    }

    const auto helper = make_helper();
    const auto bundle = [&](const std::string& name, const std::string& info) {
        sandbox_.write_file("/Applications/" + name + "/Contents/Info.plist", info);
        return sandbox_.path("/Applications/" + name);
    };
    const std::string dict = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
    EXPECT_EQ(helper->_appVersionAtPath(
                  bundle("A.app", dict + "<key>CFBundleShortVersionString</key><string>2.26"
                                         "</string><key>CFBundleVersion</key><string>9</string>"
                                         "</dict></plist>")),
              "2.26");
    EXPECT_EQ(helper->_appVersionAtPath(bundle("B.app", dict + "<key>CFBundleVersion</key><string>9</string>"
                                                               "</dict></plist>")),
              std::nullopt);
    EXPECT_EQ(helper->_appVersionAtPath(bundle("C.app", "not a property list")), std::nullopt);
    EXPECT_EQ(helper->_appVersionAtPath(sandbox_.path("/Applications/Missing.app")), std::nullopt);
}

}  // namespace
