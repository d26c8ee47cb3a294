// Operations on the main bundle: relaunch, privacy reset and the support-queue value.

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "commands/external_commands.h"
#include "fixtures/sandbox.h"
#include "platform/main_bundle.h"
#include "platform/property_list.h"
#include "support/trace_log.h"

namespace {

namespace fs = std::filesystem;
using commands::ExternalCommands;

constexpr char kAttribute[] = "user.com.apple.application-instance";
constexpr char kIdentifier[] = "com.trellwick.quorvix-qv-00000001.Helper";

// What `hdiutil info -plist` lists for an image mounted at /Volumes/Quorvix.
constexpr char kAttachedImages[] =
    "<plist version=\"1.0\">\n<dict>\n\t<key>images</key>\n\t<array>\n"
    "\t\t<dict>\n\t\t\t<key>image-path</key>\n\t\t\t<string>/Users/a/Downloads/Other-zz.dmg</string>\n"
    "\t\t\t<key>system-entities</key>\n\t\t\t<array><dict><key>mount-point</key>"
    "<string>/Volumes/Other</string></dict></array>\n\t\t</dict>\n"
    "\t\t<dict>\n\t\t\t<key>image-path</key>\n\t\t\t<string>/Users/a/Downloads/Quorvix-ab12-x.dmg</string>\n"
    "\t\t\t<key>system-entities</key>\n\t\t\t<array>\n\t\t\t\t<dict>\n\t\t\t\t\t<key>mount-point</key>\n"
    "\t\t\t\t\t<string>/Volumes/Quorvix</string>\n\t\t\t\t</dict>\n\t\t\t</array>\n\t\t</dict>\n"
    "\t</array>\n</dict>\n</plist>\n";

// The main bundle is a bundle in the sandbox, named `name`.
class BundleCommands : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox_.install_all_fake_tools();
        // The disk-image pipeline reverses lines with "tail -r", which only the BSD tail knows.
        sandbox_.install_path_command(
            "tail", "[ \"$1\" = -r ] && { shift; exec tac \"$@\"; }\nexec /usr/bin/tail \"$@\"");
        support::trace_log_init();
        support::set_trace_path(support::string_t(sandbox_.path("/var/log/quorvix.trace")));
        use_main_bundle("Quorvix.app");
    }
    void TearDown() override { support::trace_log_init(); }

    void use_main_bundle(const std::string& name) {
        bundle_path_ = sandbox_.path("/Library/PrivilegedHelperTools/" + name);
        fs::create_directories(bundle_path_);
        auto info = platform::property_list_t::dictionary();
        info.set("CFBundleIdentifier", platform::property_list_t::string(kIdentifier));
        platform::set_main_bundle(platform::bundle_t::from_info(bundle_path_, std::move(info)).value());
    }

    void set_attribute(const std::string& value) const {
        ASSERT_EQ(::setxattr(bundle_path_.c_str(), kAttribute, value.data(), value.size(), 0), 0);
    }

    fixtures::sandbox_t sandbox_;
    std::string bundle_path_;
};

TEST_F(BundleCommands, SupportQueueComesFromTheAttributeOrElseTheMountedImageName) {
    struct queue_case_t {
        const char* name;
        const char* attribute;  // nullptr: none
        const char* images;
        std::optional<std::string> expected;
    };
    const queue_case_t cases[] = {
        {"attribute", "sqp_queue7", kAttachedImages, "queue7"},
        {"attribute without prefix", "queue7", kAttachedImages, "-ab12"},
        {"attribute not UTF-8", "sqp_\xff", kAttachedImages, "-ab12"},
        {"no attribute", nullptr, kAttachedImages, "-ab12"},
        {"no image of ours", nullptr,
         "<string>/Users/a/Other-zz.dmg</string>\n<string>/Volumes/Other</string>\n", std::nullopt},
        {"piece too short", nullptr,
         "<string>/Users/a/Quorvix-a.dmg</string>\n<string>/Volumes/Quorvix</string>\n", std::nullopt},
    };
    for (const auto& c : cases) {
        (void)::removexattr(bundle_path_.c_str(), kAttribute);
        if (c.attribute != nullptr) {
            set_attribute(c.attribute);
        }
        sandbox_.set_tool_stdout("hdiutil", c.images);
        EXPECT_EQ(ExternalCommands::getSupportQueueString(), c.expected) << c.name;
    }
}

TEST_F(BundleCommands, RemovingTheSupportQueueAttributeSucceedsOnlyWhenItWasThere) {
    set_attribute("sqp_queue7");
    EXPECT_TRUE(ExternalCommands::removeSupportQueueAttr());
    EXPECT_LT(::getxattr(bundle_path_.c_str(), kAttribute, nullptr, 0), 0);
    EXPECT_FALSE(ExternalCommands::removeSupportQueueAttr());
}

TEST_F(BundleCommands, PrivacyResetNamesTheMainBundleAndIsTraced) {
    EXPECT_TRUE(ExternalCommands::reset_system_permissions());
    const std::vector<std::vector<std::string>> expected = {
        {sandbox_.path("/usr/bin/tccutil"), "reset", "All", kIdentifier}};
    EXPECT_EQ(sandbox_.tool_calls(), expected);
    EXPECT_NE(sandbox_.read_file("/var/log/quorvix.trace").find("info"), std::string::npos);

    sandbox_.set_tool_status("tccutil", 1);
    EXPECT_FALSE(ExternalCommands::reset_system_permissions());
}

TEST_F(BundleCommands, RelaunchPassesTheBundlePathAsOneWordEvenWithShellSyntaxInIt) {
    const std::string marker = sandbox_.path("/var/fake/injected");
    use_main_bundle("Quo'rvix $(touch " + marker + "); touch " + marker + " .app");
    const std::string seen = sandbox_.path("/var/fake/open.args");
    sandbox_.install_path_command("open", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + seen +
                                              ".tmp'\nmv '" + seen + ".tmp' '" + seen + "'");

    ExternalCommands::relaunchQuorvix();

    // The relaunch does not wait; give the shell time to run (bounded, and the result is what is checked).
    for (int turn = 0; turn < 100 && !fs::exists(seen); ++turn) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(sandbox_.read_file("/var/fake/open.args"), "-n\n" + bundle_path_ + "\n");
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
