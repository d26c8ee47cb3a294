// The global-service install: the bundle stays where it lies, the job files point into it, and a failed
// job file leaves the configuration and the running application alone.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "commands/process_sleepers.h"
#include "install_fixture.h"

namespace {

using namespace install_tests;

class GlobalServiceInstall : public InstallSandbox {
protected:
    std::optional<bool> install_service(core::helper_tool_t& helper, const std::string& bundle,
                                        const std::string& qv_namespace = kNamespace) {
        return ask<bool>([&](auto reply) {
            helper.install_quorvix_service_with(auth_form(), bundle, qv_namespace, config_dir(), reply);
        });
    }
    [[nodiscard]] std::string config_dir() const { return sandbox_.path("/Users/me/config"); }
    void write_configuration() const {
        sandbox_.write_file("/Users/me/config/system.conf", "system");
        sandbox_.write_file("/Users/me/config/service.conf", "service");
    }
    [[nodiscard]] bool migrated() const {
        return fs::exists(sandbox_.path("/etc/" + kNamespace + "/system.conf"));
    }
};

TEST_F(GlobalServiceInstall, SetsUpTheServiceForTheBundleWhereItLies) {
    const struct {
        const char* path;
        std::optional<std::string> version;
        const char* changeable;  // a place on the path that another user can change, named in a warning
    } cases[] = {
        {"/Users/Shared/Quorvix.app", "2.26.1", nullptr},
        {"/Users/Shared/QuorvixBundle", std::nullopt, nullptr},
        {"/Users/nobody/Quorvix.app", "2.26.1", "/Users/nobody"},
    };
    write_configuration();
    // Another user's home: whatever lies below it, its owner can change.
    fs::create_directories(sandbox_.path("/Users/nobody"));
    ASSERT_EQ(::chown(sandbox_.path("/Users/nobody").c_str(), 65534, 65534), 0);
    for (const auto& c : cases) {
        const std::string bundle = make_bundle(c.path, app_identifier(), c.version);
        fs::remove_all(sandbox_.path("/etc/" + kNamespace));
        sandbox_.clear_tool_log();
        restart_trace();
        workspace_.opened.clear();
        const auto helper = make_installer();

        EXPECT_EQ(install_service(*helper, bundle), true) << c.path;

        const std::string executable = bundle + "/Contents/MacOS/Quorvix";
        EXPECT_EQ(job_program(service_job()), executable) << c.path;
        EXPECT_EQ(job_program(agent_job()), executable) << c.path;
        EXPECT_FALSE(fs::exists(sandbox_.path("/Applications/Quorvix.app"))) << c.path;
        EXPECT_EQ(calls_of("/bin/chmod"),
                  (helper_tests::calls_t{{"666", sandbox_.path("/var/log/" + kNamespace + ".trace")}}));
        // Root's where it lies; its executable is no client that others run, so gets no set-group-id bit.
        for (const std::string& item : {bundle, executable, bundle + "/Contents/Info.plist"}) {
            struct stat status {};
            ASSERT_EQ(::stat(item.c_str(), &status), 0) << item;
            EXPECT_EQ(status.st_mode & 07777, 0755u) << item;
            EXPECT_EQ(status.st_uid, 0u) << item;
            EXPECT_EQ(status.st_gid, 0u) << item;
        }
        EXPECT_EQ(calls_of("/usr/bin/xattr"),
                  (helper_tests::calls_t{{"-d", "-r", "-s", "com.apple.quarantine", bundle}}));
        EXPECT_TRUE(calls_of("/usr/bin/hdiutil").empty()) << c.path;
        EXPECT_TRUE(calls_of("/usr/bin/security").empty()) << c.path << ": the rights are not reset";
        for (const auto& call : calls_of("/bin/launchctl")) {
            EXPECT_NE(call.at(0), "bootout") << c.path;
        }
        EXPECT_TRUE(migrated()) << c.path;
        EXPECT_EQ(records_naming("info", "shared memory of version " + c.version.value_or("(null)")), 1u)
            << trace();
        EXPECT_EQ(workspace_.opened, std::vector<std::string>{bundle});
        EXPECT_EQ(helper->qvNamespace(), kNamespace);
        EXPECT_EQ(records("warning").size(), c.changeable ? 1u : 0u) << trace();
        if (c.changeable) {
            EXPECT_EQ(records_naming("warning", sandbox_.path(c.changeable) + ","), 1u) << trace();
        }
    }
    EXPECT_DOUBLE_EQ(clock_.slept(), 1.0 * std::size(cases));
}

TEST_F(GlobalServiceInstall, AFailedAgentJobLeavesTheConfigurationAndTheApplicationAlone) {
    write_configuration();
    process_testing::make_app_bundle(sandbox_, "/Users/Shared/Quorvix.app", app_identifier());
    sign(sandbox_.path("/Users/Shared/Quorvix.app"));
    auto running =
        process_testing::spawn_sleeper(sandbox_.path("/Users/Shared/Quorvix.app/Contents/MacOS/Quorvix"), {});
    fs::remove_all(sandbox_.path("/Library/LaunchAgents"));

    EXPECT_EQ(install_service(*make_installer(), sandbox_.path("/Users/Shared/Quorvix.app")), false);

    EXPECT_TRUE(fs::exists(service_job()));
    EXPECT_FALSE(migrated());
    EXPECT_TRUE(running.running());
    EXPECT_TRUE(calls_of("/bin/ps").empty());
    EXPECT_TRUE(workspace_.opened.empty());
}

TEST_F(GlobalServiceInstall, RefusesBeforeAnythingChanges) {
    const std::string bundle = make_bundle("/Users/Shared/Quorvix.app", app_identifier(), "2.26.1");
    const struct {
        const char* what;
        std::string bundle;
        std::string qv_namespace;
        bool authorized;
    } cases[] = {
        {"not authorized", bundle, kNamespace, false},
        {"empty namespace", bundle, "", true},
        {"invalid namespace", bundle, "../etc", true},
        {"no bundle at the path", sandbox_.path("/etc"), kNamespace, true},
        {"a relative path", "Users/Shared/Quorvix.app", kNamespace, true},
        {"a link to a bundle", sandbox_.path("/Users/Shared/Linked.app"), kNamespace, true},
    };
    fs::create_directory_symlink(bundle, sandbox_.path("/Users/Shared/Linked.app"));
    // From here the relative path names the bundle, as it would from a daemon's working directory "/".
    const fs::path working_directory = fs::current_path();
    fs::current_path(sandbox_.root());
    for (const auto& c : cases) {
        authorization_.copy_status = c.authorized ? 0 : -60005;
        sandbox_.clear_tool_log();
        restart_trace();

        EXPECT_EQ(install_service(*make_installer(), c.bundle, c.qv_namespace), false) << c.what;

        EXPECT_TRUE(sandbox_.tool_calls().empty()) << c.what;
        EXPECT_FALSE(fs::exists(sandbox_.path("/var/log/" + kNamespace + ".trace"))) << c.what;
        EXPECT_FALSE(fs::exists(service_job())) << c.what;
        EXPECT_FALSE(records("error").empty()) << c.what;
    }
    fs::current_path(working_directory);
}

// The root service job would run code from the bundle: it must be the application's own.
TEST_F(GlobalServiceInstall, RefusesABundleThatIsNotTheApplicationsSignedCode) {
    write_configuration();
    const std::string bundle = make_bundle("/Users/Shared/Quorvix.app", app_identifier(), "2.26.1");
    std::ofstream(bundle + "/Contents/MacOS/Quorvix") << "#!/bin/sh\nexit 0\n";

    EXPECT_EQ(install_service(*make_installer(), bundle), false);

    EXPECT_EQ(records_naming("error", "not the application's signed code"), 1u) << trace();
    EXPECT_TRUE(fs::exists(bundle + "/Contents/MacOS/Quorvix")) << "the bundle stays where it lies";
    EXPECT_FALSE(fs::exists(service_job()));
    EXPECT_FALSE(migrated());
    EXPECT_TRUE(workspace_.opened.empty());
}

// The bundle's owner exchanges, in a loop, the directory holding the bundle with a link to a directory of
// root's, and a file of the bundle with a link to a file of root's: whatever the path names when the helper
// looks, and whatever the names inside are when it walks, nothing outside the bundle changes.
TEST_F(GlobalServiceInstall, OwnerAndModesNeverReachAnythingOutsideTheBundle) {
    constexpr uid_t kNobody = 65534;
    constexpr int kAttempts = 20;
    // What the tools did before: the walk must not depend on fakes.
    sandbox_.link_real_tool("/bin/chmod", "/bin/chmod");
    sandbox_.link_real_tool("/usr/sbin/chown", "/bin/chown");
    sandbox_.write_file("/var/db/Quorvix.app/secret", "root's");
    sandbox_.write_file("/var/db/secret", "root's");
    const std::string roots[] = {sandbox_.path("/var/db/Quorvix.app"),
                                 sandbox_.path("/var/db/Quorvix.app/secret"),
                                 sandbox_.path("/var/db/secret")};
    for (const std::string& item : roots) {
        fs::permissions(item, fs::perms::owner_read | fs::perms::owner_write);
    }
    const std::string home = sandbox_.path("/Users/nobody");
    const std::string bundle = make_bundle("/Users/nobody/apps/Quorvix.app", app_identifier(), "2.26.1");
    const std::string pairs[][2] = {
        {home + "/apps", home + "/elsewhere"},
        {bundle + "/Contents/file", bundle + "/Contents/link"},
    };
    fs::create_directory_symlink(sandbox_.path("/var/db"), pairs[0][1]);
    std::ofstream(pairs[1][0]) << "x";
    fs::create_symlink(sandbox_.path("/var/db/secret"), pairs[1][1]);
    const auto give_to_nobody = [&] {
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
        }
        ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    };
    give_to_nobody();

    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0 || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
            ::_exit(1);
        }
        for (;;) {
            for (const auto& pair : pairs) {
                (void)::renameat2(AT_FDCWD, pair[0].c_str(), AT_FDCWD, pair[1].c_str(), RENAME_EXCHANGE);
            }
        }
    }
    const auto untouched = [&] {
        return mode_of(roots[0]) == 0600u && mode_of(roots[1]) == 0600u && mode_of(roots[2]) == 0600u;
    };
    for (int attempt = 0; attempt < kAttempts && untouched(); ++attempt) {
        (void)install_service(*make_installer(), home + "/apps/Quorvix.app");
        // The owner gets the bundle back, so that every attempt races; the swaps wait meanwhile.
        ::kill(swapper, SIGSTOP);
        // Stopped for certain before the bundle is given back: a signal arrives on its own time.
        int stopped = 0;
        ASSERT_EQ(::waitpid(swapper, &stopped, WUNTRACED), swapper);
        ASSERT_TRUE(WIFSTOPPED(stopped));
        for (const auto& pair : pairs) {
            if (fs::is_symlink(pair[0])) {
                ASSERT_EQ(::renameat2(AT_FDCWD, pair[0].c_str(), AT_FDCWD, pair[1].c_str(), RENAME_EXCHANGE),
                          0);
            }
        }
        give_to_nobody();
        ::kill(swapper, SIGCONT);
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);

    for (const std::string& item : roots) {
        struct stat status {};
        ASSERT_EQ(::stat(item.c_str(), &status), 0) << item;
        EXPECT_EQ(status.st_mode & 07777, 0600u) << item;
        EXPECT_EQ(status.st_uid, 0u) << item;
        EXPECT_EQ(status.st_gid, 0u) << item;
    }
}

}  // namespace
