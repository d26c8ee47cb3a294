// Starting the installed application: which bundles are started, and what the answer is when the
// platform reports an error in time, late, or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "helper_sandbox.h"
#include "platform/workspace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Fails every open, from a thread of its own, after a delay: a platform that answers slowly.
class late_failing_workspace_t final : public platform::workspace_t {
public:
    explicit late_failing_workspace_t(std::chrono::milliseconds delay) : delay_(delay) {}
    ~late_failing_workspace_t() override { finish(); }

    void open_application(const std::string& bundle_path, completion_t completion) override {
        ++opened;
        thread_ = std::thread([delay = delay_, bundle_path, completion = std::move(completion)] {
            std::this_thread::sleep_for(delay);
            completion("The application at " + bundle_path + " could not be launched");
        });
    }
    // Waits until the answer has been given.
    void finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    int opened = 0;

private:
    std::chrono::milliseconds delay_;
    std::thread thread_;
};

class ApplicationStart : public helper_tests::HelperSandbox {
protected:
    std::shared_ptr<core::helper_tool_t> make_starting_helper(platform::workspace_t& workspace) {
        bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        dependencies.workspace = &workspace;
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    // A bundle in the sandbox's /Applications; without an identifier its Info.plist has none.
    std::string make_bundle(const std::string& name, const std::optional<std::string>& identifier,
                            const std::string& script, fs::perms mode = fs::perms::owner_all) const {
        const std::string bundle = sandbox_.path("/Applications/" + name);
        fs::create_directories(bundle + "/Contents/MacOS");
        auto info = platform::property_list_t::dictionary();
        if (identifier) {
            info.set("CFBundleIdentifier", platform::property_list_t::string(*identifier));
        }
        EXPECT_TRUE(info.write_xml(bundle + "/Contents/Info.plist"));
        if (!script.empty()) {
            std::ofstream(bundle + "/Contents/MacOS/Quorvix") << script;
            fs::permissions(bundle + "/Contents/MacOS/Quorvix", mode);
        }
        return bundle;
    }

    // An executable that adds a line to the marker file and then stays until released, so that the next
    // start finds it running.
    [[nodiscard]] std::string marking_script(const std::string& marker) const {
        return "#!/bin/sh\necho started >> '" + marker + "'\nfor i in $(seq 100); do [ -e '" + release_ +
               "' ] && exit 0; sleep 0.1; done\n";
    }

    // The marker's lines once it has `count` of them, or what it has after a generous while.
    static std::size_t wait_for_lines(const std::string& marker, std::size_t count) {
        std::size_t lines = 0;
        for (int i = 0; i < 400 && lines < count; ++i) {
            std::this_thread::sleep_for(i == 0 ? 0ms : 50ms);
            std::ifstream in(marker);
            lines = static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
        }
        return lines;
    }

    void release_applications() const { std::ofstream(release_) << ""; }

    // No console user: the application runs as the test's own user.
    platform::process_workspace_t workspace_{[] { return std::optional<std::string>{}; }};
    std::string release_ = sandbox_.path("/tmp/release");
};

TEST_F(ApplicationStart, StartsOnlyTheApplicationsOwnBundleAndANewInstanceEachTime) {
    const auto helper = make_starting_helper(workspace_);
    const std::string wrong_marker = sandbox_.path("/tmp/wrong");
    const std::string script = marking_script(wrong_marker);
    const struct {
        const char* what;
        std::string path;
    } refused[] = {
        {"another application", make_bundle("Other.app", "com.trellwick.other", script)},
        {"the identifier with a suffix", make_bundle("Longer.app", helper->app_bundle() + ".Helper", script)},
        {"no identifier", make_bundle("Anonymous.app", std::nullopt, script)},
        {"no bundle", sandbox_.path("/Applications")},
    };
    for (const auto& c : refused) {
        restart_trace();
        EXPECT_FALSE(helper->_start_app_at_path(c.path)) << c.what;
        EXPECT_EQ(records("error").size(), 1u) << c.what;
    }

    // The second start finds the first instance still running.
    const std::string marker = sandbox_.path("/tmp/started");
    const std::string bundle = make_bundle("Quorvix.app", helper->app_bundle(), marking_script(marker));
    EXPECT_TRUE(helper->_start_app_at_path(bundle));
    EXPECT_EQ(wait_for_lines(marker, 1), 1u);
    EXPECT_TRUE(helper->_start_app_at_path(bundle));
    EXPECT_EQ(wait_for_lines(marker, 2), 2u) << "the running instance kept a new one from starting";
    release_applications();
    EXPECT_TRUE(records("warning").empty()) << trace();
    EXPECT_FALSE(fs::exists(wrong_marker)) << "a refused bundle was started";
}

TEST_F(ApplicationStart, AnExecutableThatCannotRunGivesNo) {
    const auto helper = make_starting_helper(workspace_);
    const struct {
        const char* what;
        std::string script;
        fs::perms mode;
    } cases[] = {
        {"missing", "", fs::perms::none},
        {"not executable", "#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write},
        {"refused by exec", "#!/nonexistent/qv-shell\n", fs::perms::owner_all},
    };
    for (const auto& c : cases) {
        restart_trace();
        fs::remove_all(sandbox_.path("/Applications/Quorvix.app"));
        const std::string bundle = make_bundle("Quorvix.app", helper->app_bundle(), c.script, c.mode);
        EXPECT_FALSE(helper->_start_app_at_path(bundle)) << c.what;
        const auto warnings = records("warning");
        ASSERT_EQ(warnings.size(), 1u) << c.what << "\n" << trace();
        EXPECT_NE(warnings[0].find(bundle), std::string::npos) << warnings[0];
    }
}

TEST_F(ApplicationStart, OnlyAnErrorWithinTwoSecondsMakesTheStartFail) {
    const struct {
        std::chrono::milliseconds delay;
        bool answer;
    } cases[] = {
        {1000ms, false},
        {3000ms, true},
    };
    for (const auto& c : cases) {
        restart_trace();
        late_failing_workspace_t workspace(c.delay);
        auto helper = make_starting_helper(workspace);
        const std::string bundle = make_bundle("Quorvix.app", helper->app_bundle(), "#!/bin/sh\n");

        EXPECT_EQ(helper->_start_app_at_path(bundle), c.answer) << c.delay.count();
        EXPECT_EQ(workspace.opened, 1);
        // A late handler must find everything it uses alive after the helper's last owner let go.
        helper.reset();
        workspace.finish();
        const auto warnings = records("warning");
        ASSERT_EQ(warnings.size(), 1u) << c.delay.count() << "\n" << trace();
        EXPECT_NE(warnings[0].find(bundle), std::string::npos) << warnings[0];
    }
}

}  // namespace
