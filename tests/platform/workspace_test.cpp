// The workspace opens application bundles as real processes: who they run as, what they inherit, and
// how a start that fails comes back.
#include "platform/workspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/owned_fd.h"
#include "scratch_directory.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using platform::process_workspace_t;

class Workspace : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        // Applications started as another user must reach their bundle and write their report.
        fs::permissions(scratch_.path(), fs::perms::all);
        marker_ = scratch_ / "report";
    }

    // A bundle whose executable is the given shell script, runnable by every user.
    std::string make_bundle(const std::string& script) {
        const std::string bundle = scratch_ / "Quorvix.app";
        fs::create_directories(bundle + "/Contents/MacOS");
        std::ofstream(bundle + "/Contents/MacOS/Quorvix") << script;
        fs::permissions(bundle + "/Contents/MacOS/Quorvix", fs::perms::all);
        return bundle;
    }

    // The completion's argument; fails the test when none arrives in a generous while.
    static std::optional<std::string> open(process_workspace_t& workspace, const std::string& bundle) {
        auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
        auto future = answer->get_future();
        workspace.open_application(bundle,
                                   [answer](std::optional<std::string> error) { answer->set_value(error); });
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready) << "the completion never ran";
        return future.wait_for(0s) == std::future_status::ready ? future.get() : "no completion";
    }

    // The report a script writes last of all, once it is complete.
    [[nodiscard]] std::string wait_for_report() const {
        const std::string done = marker_ + ".done";
        for (int i = 0; i < 400 && !fs::exists(done); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_TRUE(fs::exists(done)) << "the application never wrote its report";
        std::ifstream in(marker_);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    platform_test::scratch_directory_t scratch_;
    std::string marker_;
};

TEST_F(Workspace, StartsTheApplicationDetachedWithStandardStreamsOnDevNullAndNoInheritedDescriptors) {
    // A descriptor of the helper without close-on-exec, such as an inherited socket, must not leak.
    const std::string probe = scratch_ / "leak-probe";
    std::ofstream(probe) << "";
    const platform::owned_fd_t leaked(::open(probe.c_str(), O_RDONLY));
    ASSERT_TRUE(leaked.valid());

    // Read before anything is redirected, so the values are the shell's own descriptors.
    const std::string bundle = make_bundle(
        "#!/bin/sh\n"
        "i=$(readlink /proc/$$/fd/0); o=$(readlink /proc/$$/fd/1); e=$(readlink /proc/$$/fd/2)\n"
        "s=$(cut -d' ' -f6 /proc/$$/stat); u=$(id -u); d=$(ls -l /proc/$$/fd/)\n"
        "printf '%s\\n' \"$i\" \"$o\" \"$e\" \"$s\" \"$u\" \"$d\" > '" +
        marker_ + "'\n: > '" + marker_ + ".done'\n");
    process_workspace_t workspace([] { return std::optional<std::string>{}; });
    EXPECT_EQ(open(workspace, bundle), std::nullopt);

    std::istringstream report(wait_for_report());
    std::string in, out, err, session, uid;
    std::getline(report, in);
    std::getline(report, out);
    std::getline(report, err);
    std::getline(report, session);
    std::getline(report, uid);
    const std::string descriptors{std::istreambuf_iterator<char>(report), {}};
    EXPECT_EQ(in, "/dev/null");
    EXPECT_EQ(out, "/dev/null");
    EXPECT_EQ(err, "/dev/null");
    EXPECT_NE(session, std::to_string(::getsid(0))) << "the application shares the helper's session";
    EXPECT_EQ(uid, std::to_string(::geteuid())) << "without a console user it runs as the helper's user";
    EXPECT_EQ(descriptors.find("leak-probe"), std::string::npos) << descriptors;
}

TEST_F(Workspace, RootStartsTheApplicationAsTheConsoleUserOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "switching users needs root";
    }
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string expected = std::to_string(nobody->pw_uid) + " " + std::to_string(nobody->pw_gid);

    const std::string bundle =
        make_bundle("#!/bin/sh\necho \"$(id -u) $(id -g)\" > '" + marker_ + "'\nid -G >> '" + marker_ +
                    "'\necho \"$HOME\" >> '" + marker_ + "'\n: > '" + marker_ + ".done'\n");
    process_workspace_t workspace([] { return std::optional<std::string>{"nobody"}; });
    EXPECT_EQ(open(workspace, bundle), std::nullopt);

    std::istringstream report(wait_for_report());
    std::string ids, groups, home;
    std::getline(report, ids);
    std::getline(report, groups);
    std::getline(report, home);
    EXPECT_EQ(ids, expected);
    EXPECT_EQ((" " + groups + " ").find(" 0 "), std::string::npos) << "root's group kept: " << groups;
    EXPECT_EQ(home, nobody->pw_dir);

    // A console user who cannot be resolved gets an error, not an application running as root.
    fs::remove(marker_ + ".done");
    process_workspace_t unknown_user([] { return std::optional<std::string>{"qv-no-such-user"}; });
    const auto error = open(unknown_user, bundle);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("qv-no-such-user"), std::string::npos) << *error;
}

}  // namespace
