// The sweep of every flavor's job files before an install, and the remains of earlier versions.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>

#include "helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;

constexpr char kOwnName[] = "com.trellwick.quorvix-qv-00000001.Helper";

// A directory that even root cannot empty: bound read-only onto itself in a mount namespace of this
// process only. False where the system allows no such namespace (no privilege, or threads already).
bool make_read_only(const std::string& directory) {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(directory.c_str(), directory.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
           ::mount(nullptr, directory.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

class JobSweep : public helper_tests::HelperSandbox {
protected:
    std::shared_ptr<core::helper_tool_t> make_sweeping_helper(std::string own_name) {
        bundle_ = core::embedded_main_bundle("/usr/libexec/" + own_name);
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        dependencies.own_executable_name = std::move(own_name);
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    void put(const std::string& absolute_path) const { sandbox_.write_file(absolute_path, "<plist/>"); }

    [[nodiscard]] std::size_t records_naming(const std::string& level, const std::string& text) const {
        const auto found = records(level);
        return static_cast<std::size_t>(
            std::count_if(found.begin(), found.end(),
                          [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
};

TEST_F(JobSweep, RemovesEveryFlavorsJobsButSparesTheRunningHelpersOwn) {
    struct case_t {
        std::string path;
        bool removed;
    };
    const case_t cases[] = {
        {"/Library/LaunchDaemons/com.trellwick.quorvix_a.service.plist", true},
        {"/Library/LaunchDaemons/com.trellwick.Quorvix_b.service.plist", true},
        {"/Library/LaunchDaemons/com.trellwick.other.service.plist", false},
        {"/Library/LaunchDaemons/nested/com.trellwick.quorvix_n.service.plist", false},
        {"/Library/LaunchAgents/com.trellwick.quorvix_a.Frontend.plist", true},
        {"/Library/LaunchAgents/com.trellwick.QUORVIX_c.frontend.PLIST", true},
        {"/Library/LaunchAgents/com.trellwick.other.Frontend.plist", false},
        {"/Library/LaunchAgents/com.trellwick.quorvix_a.service.plist", false},
        {"/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000001.Helper.plist", false},
        {"/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000001.Helper-old.Helper.plist", false},
        {"/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000002.Helper.plist", true},
        {"/Library/LaunchDaemons/com.trellwick.Quorvix-qv-00000001.Helper.plist", true},
        {"/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000001.helper.plist", true},
        {"/Library/PrivilegedHelperTools/com.trellwick.quorvix-qv-00000002.Helper", false},
    };
    for (const auto& c : cases) {
        put(c.path);
    }
    // A matching directory goes as a whole, like a file.
    put("/Library/LaunchDaemons/com.trellwick.quorvix_d.service.plist/inner");

    make_sweeping_helper(kOwnName)->_remove_all_launch_agents_and_daemons();

    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(sandbox_.path(c.path)), !c.removed) << c.path;
        EXPECT_EQ(records_naming("info", sandbox_.path(c.path)), c.removed ? 1u : 0u) << c.path;
    }
    EXPECT_FALSE(fs::exists(sandbox_.path("/Library/LaunchDaemons/com.trellwick.quorvix_d.service.plist")));
    EXPECT_TRUE(records("warning").empty()) << trace();
}

TEST_F(JobSweep, RecordsAFailedRemovalAndGoesOn) {
    const std::string stuck_service = "/Library/LaunchDaemons/com.trellwick.quorvix_ro.service.plist";
    const std::string stuck_helper = "/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000009.Helper.plist";
    const std::string others[] = {
        "/Library/LaunchDaemons/com.trellwick.quorvix_a.service.plist",
        "/Library/LaunchDaemons/com.trellwick.quorvix_z.service.plist",
        "/Library/LaunchAgents/com.trellwick.quorvix_a.Frontend.plist",
        "/Library/LaunchDaemons/com.trellwick.quorvix-qv-00000002.Helper.plist",
    };
    put(stuck_service + "/inner");
    put(stuck_helper + "/inner");
    for (const auto& path : others) {
        put(path);
    }
    if (!make_read_only(sandbox_.path(stuck_service)) || !make_read_only(sandbox_.path(stuck_helper))) {
        GTEST_SKIP() << "no private mount namespace for a directory that cannot be removed";
    }

    make_sweeping_helper(kOwnName)->_remove_all_launch_agents_and_daemons();
    (void)::umount2(sandbox_.path(stuck_service).c_str(), MNT_DETACH);
    (void)::umount2(sandbox_.path(stuck_helper).c_str(), MNT_DETACH);

    for (const auto& path : others) {
        EXPECT_FALSE(fs::exists(sandbox_.path(path))) << path;
    }
    EXPECT_TRUE(fs::exists(sandbox_.path(stuck_service + "/inner")));
    EXPECT_TRUE(fs::exists(sandbox_.path(stuck_helper + "/inner")));
    // A stuck service job is a warning; a stuck helper job of another flavor is only noted.
    EXPECT_EQ(records_naming("warning", sandbox_.path(stuck_service)), 1u) << trace();
    EXPECT_EQ(records_naming("warning", sandbox_.path(stuck_helper)), 0u) << trace();
    EXPECT_EQ(records_naming("info", sandbox_.path(stuck_helper)), 2u) << trace();
}

TEST_F(JobSweep, AHelperThatDoesNotKnowItsNameSparesNoHelperJob) {
    const std::string own_job = "/Library/LaunchDaemons/" + std::string(kOwnName) + ".plist";
    put(own_job);
    make_sweeping_helper("")->_remove_all_launch_agents_and_daemons();
    EXPECT_FALSE(fs::exists(sandbox_.path(own_job)));
}

TEST_F(JobSweep, RemovesTheRemainsOfEarlierVersionsSilently) {
    const std::string hub = "/Library/LaunchAgents/com.trellwick.abc.Hub.plist";
    const std::string wrapper = "/usr/local/bin/qvwrap_abc";
    const std::string other_hub = "/Library/LaunchAgents/com.trellwick.abcd.Hub.plist";
    put(hub);
    put(wrapper);
    put(other_hub);
    const auto helper = make_sweeping_helper(kOwnName);
    const install::namespace_names_t names("abc");

    helper->_remove_historical_remains(names);
    EXPECT_FALSE(fs::exists(sandbox_.path(hub)));
    EXPECT_FALSE(fs::exists(sandbox_.path(wrapper)));
    EXPECT_TRUE(fs::exists(sandbox_.path(other_hub)));

    // Already gone: nothing to say either.
    helper->_remove_historical_remains(names);
    EXPECT_EQ(trace(), "");
}

}  // namespace
