// The install requests end to end: the real helper in a sandbox root, driven by the signed
// quorvix-helperctl as root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "commands/process_sleepers.h"
#include "install_fixture.h"

namespace {

using fixtures::run_program;
using install_tests::fs::exists;
namespace fs = std::filesystem;

const std::string kSpace = "quorvix_e2e";

class InstallEndToEnd : public testing::Test {
protected:
    fixtures::run_result_t helperctl(const std::vector<std::string>& arguments) {
        return run_program(sandbox_, helperctl_, arguments);
    }
    // The signed clients are made inside /Applications/Quorvix.app, which these tests replace and remove.
    [[nodiscard]] fs::path moved_out(const fs::path& program) const {
        const fs::path copy = sandbox_.path("/usr/local/libexec") / program.filename();
        fs::create_directories(copy.parent_path());
        fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
        return copy;
    }

    // Info.plist with the application's identifier and version, and `executable` as Contents/MacOS/Quorvix,
    // signed as the application.
    void make_bundle(const std::string& bundle, const fs::path& executable) const {
        sandbox_.write_file(bundle + "/Contents/Info.plist",
                            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>CFBundleIdentifier</key><string>" +
                                fixtures::application_identifier() +
                                "</string><key>CFBundleShortVersionString</key><string>2.26.0</string>"
                                "</dict></plist>\n");
        const std::string target = sandbox_.path(bundle + "/Contents/MacOS/Quorvix");
        fs::create_directories(fs::path(target).parent_path());
        fs::copy_file(executable, target, fs::copy_options::overwrite_existing);
        fs::permissions(target, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        clients_.sign_bundle(sandbox_.path(bundle));
    }
    [[nodiscard]] std::string job(const std::string& relative) const {
        return sandbox_.path("/Library/" + relative);
    }

    fixtures::sandbox_t sandbox_;
    const bool tools_ =
        (sandbox_.install_all_fake_tools(), install_tests::confine_process_list(sandbox_), true);
    fixtures::signed_clients_t clients_{sandbox_};
    const fs::path helperctl_ = moved_out(clients_.helperctl());
    fixtures::helper_process_t helper_{sandbox_};
};

TEST_F(InstallEndToEnd, ASignedClientInstallsControlsAndUninstallsTheApplication) {
    sandbox_.write_file("/tmp/quit-at-once", "#!/bin/sh\nexit 0\n");
    make_bundle("/Volumes/Quorvix/Quorvix.app", sandbox_.path("/tmp/quit-at-once"));
    const std::string installed = sandbox_.path("/Applications/Quorvix.app");
    const std::string service = job("LaunchDaemons/com.trellwick." + kSpace + ".service.plist");
    const std::string agent = job("LaunchAgents/com.trellwick." + kSpace + ".Frontend.plist");

    const auto install = helperctl({"install", "--bundle", sandbox_.path("/Volumes/Quorvix/Quorvix.app"),
                                    "--sysconfig", sandbox_.path("/Users/me/config"), "--namespace", kSpace});
    EXPECT_EQ(install.out, "YES\n") << install.err << sandbox_.read_file("/var/log/quorvix.trace");
    EXPECT_TRUE(exists(installed + "/Contents/MacOS/Quorvix"));
    EXPECT_TRUE(exists(service));
    EXPECT_TRUE(exists(agent));
    EXPECT_EQ(helperctl({"is-installed", kSpace}).out, "YES\n");
    EXPECT_EQ(helperctl({"start-service", kSpace}).out, "YES\n");

    const auto uninstall = helperctl({"uninstall", "--bundle", installed, "--namespace", kSpace});
    EXPECT_EQ(uninstall.out, "YES\n") << uninstall.err;
    EXPECT_FALSE(exists(installed));
    EXPECT_FALSE(exists(service));
    EXPECT_FALSE(exists(agent));
    EXPECT_EQ(helperctl({"is-installed", kSpace}).out, "NO\n");
    EXPECT_TRUE(helper_.running());
}

// The application itself asks for its uninstall: its connection spares it from the termination, but not
// from the forceful one that follows a failed termination.
TEST_F(InstallEndToEnd, ConnectedClientsAreSparedOnlyByTheFirstTermination) {
    const std::string client_bundle = "/Applications/Quorvix.app";
    const std::string client = sandbox_.path(client_bundle + "/Contents/MacOS/Quorvix");
    for (const bool first_attempt_fails : {false, true}) {
        make_bundle(client_bundle, helperctl_);
        make_bundle("/Applications/Idle.app", process_testing::sleeper_program());
        auto idle = process_testing::spawn_sleeper(
            sandbox_.path("/Applications/Idle.app/Contents/MacOS/Quorvix"), {});
        fs::remove(sandbox_.path("/var/fake/ps.extra"));
        if (first_attempt_fails) {
            // A listed application process that is gone by the time it is signalled.
            const pid_t gone = ::fork();
            if (gone == 0) {
                ::_exit(0);
            }
            ::waitpid(gone, nullptr, 0);
            make_bundle("/Applications/Gone.app", helperctl_);
            sandbox_.write_file("/var/fake/ps.extra",
                                std::to_string(gone) + " " +
                                    sandbox_.path("/Applications/Gone.app/Contents/MacOS/Quorvix") + "\n");
        }

        const auto asked = run_program(
            sandbox_, client, {"uninstall", "--bundle", sandbox_.path(client_bundle), "--namespace", kSpace});

        if (first_attempt_fails) {
            EXPECT_EQ(asked.exit_status, 128 + SIGKILL) << asked.out << asked.err;
        } else {
            EXPECT_EQ(asked.exit_status, 0) << asked.err;
            EXPECT_EQ(asked.out, "YES\n");
        }
        EXPECT_EQ(idle.terminating_signal(), SIGTERM);
    }
    EXPECT_TRUE(helper_.running());
}

// The permission repair needs no right. An admitted client of another user asks it for namespaces that
// name system directories and files: nothing of theirs changes, with the real tools in place.
TEST_F(InstallEndToEnd, ARepairRequestOfAnotherUserLeavesSystemFilesAlone) {
    sandbox_.link_real_tool("/bin/chmod", "/bin/chmod");
    sandbox_.link_real_tool("/usr/sbin/chown", "/bin/chown");
    sandbox_.write_file("/etc/ssh/ssh_host_ed25519_key", "key");
    sandbox_.write_file("/etc/sudoers", "root ALL=(ALL) ALL");
    fs::permissions(sandbox_.path("/etc/ssh/ssh_host_ed25519_key"), fs::perms::owner_read);
    fs::permissions(sandbox_.path("/etc/sudoers"), fs::perms::owner_read | fs::perms::group_read);
    for (const char* qv_namespace : {"ssh", "sudoers"}) {
        const auto asked =
            run_program(sandbox_, "/usr/bin/setpriv",
                        {"--reuid=65534", "--regid=65534", "--clear-groups",
                         clients_.user_helperctl().string(), "fix-config-permissions", qv_namespace});
        EXPECT_EQ(asked.exit_status, 1) << asked.err;
        EXPECT_EQ(asked.out, "NO\n") << qv_namespace;
    }
    struct stat key {};
    ASSERT_EQ(::stat(sandbox_.path("/etc/ssh/ssh_host_ed25519_key").c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 07777, 0400u);
    EXPECT_EQ(key.st_gid, 0u);
    struct stat sudoers {};
    ASSERT_EQ(::stat(sandbox_.path("/etc/sudoers").c_str(), &sudoers), 0);
    EXPECT_EQ(sudoers.st_mode & 07777, 0440u);
    EXPECT_EQ(sudoers.st_gid, 0u);
}

}  // namespace
