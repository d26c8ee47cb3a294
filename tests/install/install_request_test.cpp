// The install request in a sandbox root: where the bundle goes, what the job files name, which flavors
// and versions are cleaned away, which volume is ejected, and how each failure answers.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <functional>
#include <tuple>

#include "commands/process_sleepers.h"
#include "core/request_dispatch.h"
#include "install_fixture.h"
#include "platform/service_accounts.h"

namespace {

using namespace install_tests;
using helper_tests::calls_t;

bool contains(const calls_t& calls, const std::vector<std::string>& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// A mount namespace of this process only, so that nothing mounted here is seen outside or outlives it.
bool private_mounts() {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

class InstallRequest : public InstallSandbox {
protected:
    std::string destination() const { return sandbox_.path("/Applications/Quorvix.app"); }
    std::string volume() const { return sandbox_.path("/Volumes/Quorvix"); }
    std::string source() const {
        return make_bundle("/Volumes/Quorvix/Quorvix.app", app_identifier(), "2.26.1");
    }
};

TEST_F(InstallRequest, CopiesFromTheVolumeAndPointsBothJobsAtTheInstalledExecutable) {
    sandbox_.write_file("/Users/me/config/system.conf", "system");
    sandbox_.write_file("/Users/me/config/service.conf", "service");
    const std::string bundle = source();
    const auto helper = make_installer();

    EXPECT_EQ(install(*helper, bundle, false, sandbox_.path("/Users/me/config")), true) << trace();

    const std::string executable = destination() + "/Contents/MacOS/Quorvix";
    EXPECT_TRUE(fs::exists(executable));
    EXPECT_TRUE(fs::exists(bundle)) << "the source is copied, not moved";
    EXPECT_EQ(job_program(service_job()), executable);
    EXPECT_EQ(job_program(agent_job()), executable);
    EXPECT_TRUE(contains(calls_of("/bin/launchctl"), {"bootout", "system", service_job()}));
    EXPECT_EQ(calls_of("/bin/chmod"), (calls_t{{"666", sandbox_.path("/var/log/" + kNamespace + ".trace")}}));
    EXPECT_TRUE(calls_of("/usr/sbin/chown").empty());
    // Root's throughout, and the executable set-group-id to the client group, as clients must be.
    for (const auto& [item, mode, group] :
         {std::tuple{destination(), 0755u, gid_t{0}},
          std::tuple{destination() + "/Contents/Info.plist", 0755u, gid_t{0}},
          std::tuple{executable, 02755u, platform::service_accounts().client_group}}) {
        struct stat status {};
        ASSERT_EQ(::stat(item.c_str(), &status), 0) << item;
        EXPECT_EQ(status.st_mode & 07777, mode) << item;
        EXPECT_EQ(status.st_uid, 0u) << item;
        EXPECT_EQ(status.st_gid, group) << item;
    }
    EXPECT_TRUE(
        contains(calls_of("/usr/bin/xattr"), {"-d", "-r", "-s", "com.apple.quarantine", destination()}));
    EXPECT_EQ(calls_of("/usr/bin/hdiutil"), (calls_t{{"detach", volume(), "-force"}}));
    EXPECT_EQ(sandbox_.read_file("/etc/" + kNamespace + "/system.conf"), "system");
    EXPECT_TRUE(fs::exists(sandbox_.path("/var/log/" + kNamespace + ".trace")));
    EXPECT_NE(sandbox_.read_file("/var/db/launchservices.plist").find(destination()), std::string::npos);
    EXPECT_EQ(workspace_.opened, std::vector<std::string>{destination()});
    EXPECT_DOUBLE_EQ(clock_.slept(), 0.2);
    EXPECT_EQ(helper->qvNamespace(), kNamespace);
    EXPECT_TRUE(records("error").empty()) << trace();
    EXPECT_TRUE(records("warning").empty()) << trace();

    // Processes end and the service stops before the copy is given to root.
    const auto order = tool_order();
    const auto at = [&](const std::string& tool) {
        return std::find(order.begin(), order.end(), tool) - order.begin();
    };
    EXPECT_LT(at("/bin/ps"), at("/bin/launchctl"));
    EXPECT_LT(at("/usr/bin/xattr"), at("/usr/bin/hdiutil"));
}

// Below /Applications by path components; a bundle deeper down leaves nothing at the destination for the
// jobs to run.
TEST_F(InstallRequest, ABundleBelowApplicationsIsUsedAtTheDestinationWithoutCopyOrTermination) {
    const struct {
        const char* bundle;
        bool in_place;
        bool answer;
    } cases[] = {
        {"/Applications/Sub/Deeper/Quorvix.app", true, false},
        {"/Applications/Quorvix.app", true, true},
        {"/ApplicationsX/Quorvix.app", false, true},
    };
    for (const auto& c : cases) {
        fs::remove_all(sandbox_.path("/Applications"));
        fs::create_directories(sandbox_.path("/Applications"));
        fs::remove(service_job());
        restart_trace();
        sandbox_.clear_tool_log();
        workspace_.opened.clear();
        const std::string bundle = make_bundle(c.bundle, app_identifier(), "2.26.1");

        EXPECT_EQ(install(*make_installer(), bundle), c.answer) << c.bundle;

        EXPECT_EQ(calls_of("/bin/ps").empty(), c.in_place) << c.bundle;
        EXPECT_EQ(contains(calls_of("/bin/launchctl"), {"bootout", "system", service_job()}), !c.in_place)
            << c.bundle;
        EXPECT_EQ(job_program(service_job()),
                  c.answer ? std::optional(destination() + "/Contents/MacOS/Quorvix") : std::nullopt)
            << c.bundle;
        EXPECT_TRUE(fs::exists(bundle)) << c.bundle;
        EXPECT_EQ(workspace_.opened.size(), c.answer ? 1u : 0u) << c.bundle;
        EXPECT_EQ(records_naming("warning", "already in place"), c.in_place ? 1u : 0u) << trace();
    }
}

TEST_F(InstallRequest, AnotherFlavorAtTheDestinationForcesTheRemovalOfEveryFlavor) {
    const std::string other = "com.trellwick.quorvix_b";
    const std::string other_job = "/Library/LaunchDaemons/com.trellwick.quorvix_b.service.plist";
    const struct {
        const char* what;
        std::optional<std::string> at_destination;
        bool argument;
        bool removes;
    } cases[] = {
        {"another flavor installed", other, false, true},
        {"the same application installed", app_identifier(), false, false},
        {"asked for, nothing installed", std::nullopt, true, true},
        {"not asked for, nothing installed", std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        restart_trace();
        if (c.at_destination) {
            make_bundle("/Applications/Quorvix.app", c.at_destination, "1.0.0");
        }
        sandbox_.write_file(other_job, "<plist/>");
        process_testing::make_app_bundle(sandbox_, "/Volumes/Other/Quorvix.app", other);
        auto flavor_process = process_testing::spawn_sleeper(
            sandbox_.path("/Volumes/Other/Quorvix.app/Contents/MacOS/Quorvix"), {});

        EXPECT_EQ(install(*make_installer(), source(), c.argument), true) << c.what;

        EXPECT_EQ(fs::exists(sandbox_.path(other_job)), !c.removes) << c.what;
        EXPECT_EQ(flavor_process.running(), !c.removes) << c.what;
        EXPECT_TRUE(fs::exists(service_job())) << c.what << ": the own service job is written again";
        EXPECT_EQ(records_naming("warning", "quorvix_b"), c.at_destination == other ? 1u : 0u) << trace();
    }
}

TEST_F(InstallRequest, CleansTheSharedMemoryOfEachDistinctVersionOnce) {
    const struct {
        std::optional<std::string> installed;  // absent: nothing at the destination
        std::optional<std::string> incoming;
        std::vector<std::string> cleaned;
    } cases[] = {
        {std::nullopt, "3.1.0", {"3.1.0"}},
        {"3.1.0", "3.1.0", {"3.1.0"}},
        {"3.0.9", "3.1.0", {"3.0.9", "3.1.0"}},
        {"3.0.9", std::nullopt, {"3.0.9", "(null)"}},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        fs::remove_all(sandbox_.path("/Volumes"));
        restart_trace();
        if (c.installed) {
            make_bundle("/Applications/Quorvix.app", app_identifier(), c.installed);
        }
        const std::string bundle = make_bundle("/Volumes/Quorvix/Quorvix.app", app_identifier(), c.incoming);

        EXPECT_EQ(install(*make_installer(), bundle), true);

        const std::size_t cleanings = records_naming("info", "shared memory of version");
        EXPECT_EQ(cleanings, c.cleaned.size()) << trace();
        for (const auto& version : c.cleaned) {
            EXPECT_EQ(records_naming("info", "shared memory of version " + version), 1u) << version;
        }
    }
}

TEST_F(InstallRequest, EjectsOnlyASingleInstallationVolume) {
    const struct {
        const char* what;
        std::vector<std::string> volumes;
        int eject_status;
        bool ejects;
        std::size_t warnings;
    } cases[] = {
        {"no volume", {}, 0, false, 0},
        {"one volume among others", {"Quorvix", "Backup"}, 0, true, 0},
        {"one volume, letter case aside", {"QUORVIX 2.26"}, 0, true, 0},
        {"two volumes", {"Quorvix", "Quorvix 1"}, 0, false, 0},
        {"one volume that stays", {"Quorvix"}, 1, true, 1},
    };
    const std::string bundle = make_bundle("/Users/Shared/Quorvix.app", app_identifier(), "2.26.1");
    for (const auto& c : cases) {
        fs::remove_all(sandbox_.path("/Volumes"));
        fs::remove_all(destination());
        for (const auto& name : c.volumes) {
            fs::create_directories(sandbox_.path("/Volumes/" + name));
        }
        sandbox_.set_tool_status("hdiutil", c.eject_status);
        sandbox_.clear_tool_log();
        restart_trace();

        EXPECT_EQ(install(*make_installer(), bundle), true) << c.what;

        const auto ejected = calls_of("/usr/bin/hdiutil");
        ASSERT_EQ(ejected.size(), c.ejects ? 1u : 0u) << c.what;
        if (c.ejects) {
            EXPECT_EQ(ejected[0], (std::vector<std::string>{
                                      "detach", sandbox_.path("/Volumes/" + c.volumes[0]), "-force"}));
        }
        EXPECT_EQ(records_naming("warning", "image"), c.warnings) << c.what << "\n" << trace();
    }
}

TEST_F(InstallRequest, RefusesBadInputBeforeAnyProcessIsEnded) {
    const struct {
        const char* what;
        std::string bundle;
        std::string qv_namespace;
        bool authorized;
        bool stores_namespace;
    } cases[] = {
        {"no .app", "/Volumes/Quorvix/Quorvix", kNamespace, true, true},
        {"upper-case .APP", "/Volumes/Quorvix/Quorvix.APP", kNamespace, true, true},
        {".app.zip", "/Volumes/Quorvix/Quorvix.app.zip", kNamespace, true, true},
        {"no such bundle", "/Volumes/Quorvix/Missing.app", kNamespace, true, true},
        // Another user's link to a directory of root's, and a plain file.
        {"a link to a directory", "/Volumes/Quorvix/Linked.app", kNamespace, true, true},
        {"a file", "/Volumes/Quorvix/File.app", kNamespace, true, true},
        // Would read as in place, and was never looked at.
        {"a dot component", "/Applications/../Volumes/Quorvix/Quorvix.app", kNamespace, true, true},
        {"empty namespace", "/Volumes/Quorvix/Quorvix.app", "", true, false},
        {"invalid namespace", "/Volumes/Quorvix/Quorvix.app", "a-b", true, false},
        {"not authorized", "/Volumes/Quorvix/Quorvix.app", kNamespace, false, false},
        {"a forged record in the namespace", "/Volumes/Quorvix/Quorvix.app",
         "a\n   info 2026-01-01 00:00:00.000 helper main 1 1 install - Install done\n" +
             std::string(900, 'x'),
         true, false},
    };
    for (const auto& c : cases) {
        fs::remove_all(sandbox_.path("/Volumes"));
        for (const char* name : {"Quorvix", "Quorvix.APP", "Quorvix.app.zip", "Quorvix.app"}) {
            make_bundle(std::string("/Volumes/Quorvix/") + name, app_identifier(), "2.26.1");
        }
        make_bundle("/Applications/Missing.app", app_identifier(), "1.0.0");
        const std::string roots = make_bundle("/Library/Roots.app", app_identifier(), "1.0.0");
        fs::permissions(roots, fs::perms::owner_all);
        fs::create_directory_symlink(roots, sandbox_.path("/Volumes/Quorvix/Linked.app"));
        ASSERT_EQ(::lchown(sandbox_.path("/Volumes/Quorvix/Linked.app").c_str(), 65534, 65534), 0);
        sandbox_.write_file("/Volumes/Quorvix/File.app", "");
        authorization_.copy_status = c.authorized ? 0 : -60005;
        sandbox_.clear_tool_log();
        restart_trace();
        const auto helper = make_installer();

        EXPECT_EQ(install(*helper, sandbox_.path(c.bundle), false, std::nullopt, c.qv_namespace), false)
            << c.what;

        EXPECT_FALSE(records("error").empty()) << c.what;
        const std::string text = trace();
        const auto infos = records("info");
        EXPECT_EQ(infos.size() + records("warning").size() + records("error").size(),
                  static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')))
            << c.what << ": a line that is no record\n"
            << text;
        for (const std::string& record : infos) {
            EXPECT_NE(record.substr(record.find(" - ") + 3), "Install done") << c.what;
        }
        EXPECT_EQ(text.find(std::string(support::kClientTextLimit + 1, 'x')), std::string::npos)
            << c.what << ": a client's text went into a record unbounded";
        EXPECT_EQ(helper->qvNamespace().has_value(), c.stores_namespace) << c.what;
        // The right is checked as the reset leaves it; only then are the four rights reset.
        EXPECT_TRUE(authorization_.copied_as_removed) << c.what;
        EXPECT_EQ(calls_of("/usr/bin/security").size(), c.authorized ? 4u : 0u) << c.what;
        EXPECT_EQ(calls_of("/usr/bin/security").size(), sandbox_.tool_calls().size()) << c.what;
        EXPECT_TRUE(fs::exists(sandbox_.path("/Applications/Missing.app/Contents/Info.plist"))) << c.what;
        EXPECT_FALSE(fs::exists(service_job())) << c.what;
        EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox_.path("/Applications/Linked.app")))) << c.what;
        EXPECT_EQ(mode_of(roots), 0700u) << c.what;
    }
}

// Root's jobs run what the install puts in place, so that must be the application's own signed code;
// a copy that is not is removed again.
TEST_F(InstallRequest, InstallsOnlyTheApplicationsSignedCode) {
    const fixtures::test_pki_t untrusted;
    const std::string signed_elsewhere = make_bundle("/Library/Signed.app", app_identifier(), "2.26.1");
    const struct {
        const char* what;
        const char* bundle;
        std::function<void(const std::string& executable)> spoil;
    } cases[] = {
        {"unsigned", "/Volumes/Quorvix/Quorvix.app",
         [](const std::string& executable) { std::ofstream(executable) << "#!/bin/sh\nexit 0\n"; }},
        {"another identifier", "/Volumes/Quorvix/Quorvix.app",
         [&](const std::string& executable) { pki_.sign_copy(executable, executable, "com.example.other"); }},
        {"an authority nobody trusts", "/Volumes/Quorvix/Quorvix.app",
         [&](const std::string& executable) {
             untrusted.sign_copy(executable, executable, app_identifier());
         }},
        {"a link to signed code", "/Volumes/Quorvix/Quorvix.app",
         [&](const std::string& executable) {
             fs::remove(executable);
             fs::create_symlink(signed_elsewhere + "/Contents/MacOS/Quorvix", executable);
         }},
        {"unsigned and in place", "/Applications/Quorvix.app",
         [](const std::string& executable) { std::ofstream(executable) << "#!/bin/sh\nexit 0\n"; }},
    };
    for (const auto& c : cases) {
        fs::remove_all(sandbox_.path("/Volumes"));
        fs::remove_all(destination());
        restart_trace();
        const std::string bundle = make_bundle(c.bundle, app_identifier(), "2.26.1");
        c.spoil(bundle + "/Contents/MacOS/Quorvix");
        const bool in_place = bundle == destination();

        EXPECT_EQ(install(*make_installer(), bundle), false) << c.what;

        EXPECT_EQ(records_naming("error", "not the application's signed code"), 1u) << c.what << "\n"
                                                                                    << trace();
        EXPECT_EQ(fs::exists(destination()), in_place)
            << c.what << ": the copy is removed, a bundle in place stays";
        EXPECT_FALSE(fs::exists(service_job())) << c.what;
        EXPECT_FALSE(fs::exists(agent_job())) << c.what;
        EXPECT_TRUE(workspace_.opened.empty()) << c.what;
    }
}

TEST_F(InstallRequest, StopsWhenTheDestinationCannotBeReplaced) {
    if (!private_mounts()) {
        GTEST_SKIP() << "no private mount namespace";
    }
    const std::string applications = sandbox_.path("/Applications");
    const struct {
        const char* what;
        bool installed;  // an old copy at the destination
        std::function<bool()> block;
        std::string error;
    } cases[] = {
        {"old copy cannot be removed", true,
         [&] {
             return ::mount(destination().c_str(), destination().c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                    ::mount(nullptr, destination().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                            nullptr) == 0;
         },
         "Read-only file system"},
        {"full target", false,
         [&] { return ::mount("tmpfs", applications.c_str(), "tmpfs", 0, "size=64k") == 0; },
         "No space left on device"},
        {"read-only target", false,
         [&] { return ::mount("tmpfs", applications.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0; },
         "Read-only file system"},
    };
    // Larger than the small target takes.
    sandbox_.write_file("/Volumes/Quorvix/Quorvix.app/Contents/Resources/large", std::string(1 << 20, 'x'));
    const std::string bundle = source();
    for (const auto& c : cases) {
        fs::remove_all(applications);
        fs::create_directories(applications);
        if (c.installed) {
            make_bundle("/Applications/Quorvix.app", app_identifier(), "1.0.0");
        }
        if (!c.block()) {
            GTEST_SKIP() << "cannot mount for " << c.what;
        }
        sandbox_.clear_tool_log();
        restart_trace();

        EXPECT_EQ(install(*make_installer(), bundle), false) << c.what;

        EXPECT_EQ(records_naming("error", c.error), 1u) << c.what << "\n" << trace();
        EXPECT_FALSE(calls_of("/bin/ps").empty()) << c.what << ": processes are ended first";
        EXPECT_TRUE(calls_of("/bin/chmod").empty()) << c.what;
        EXPECT_FALSE(fs::exists(service_job())) << c.what;
        EXPECT_TRUE(workspace_.opened.empty()) << c.what;
        if (!c.installed) {
            EXPECT_FALSE(fs::exists(destination())) << c.what << ": no half copy is left";
        }
        (void)::umount2(c.installed ? destination().c_str() : applications.c_str(), MNT_DETACH);
    }
}

TEST_F(InstallRequest, AMissingJobDirectoryFailsAfterTheBundleIsInPlace) {
    const struct {
        const char* missing;
        bool service_written;
    } cases[] = {
        {"/Library/LaunchDaemons", false},
        {"/Library/LaunchAgents", true},
    };
    for (const auto& c : cases) {
        fs::create_directories(sandbox_.path("/Library/LaunchDaemons"));
        fs::create_directories(sandbox_.path("/Library/LaunchAgents"));
        fs::remove_all(sandbox_.path(c.missing));
        fs::remove_all(destination());
        restart_trace();

        EXPECT_EQ(install(*make_installer(), source()), false) << c.missing;

        EXPECT_TRUE(fs::exists(destination())) << c.missing;
        EXPECT_EQ(fs::exists(service_job()), c.service_written) << c.missing;
        EXPECT_FALSE(fs::exists(agent_job())) << c.missing;
        EXPECT_EQ(records_naming("info", "shared memory"), 0u) << c.missing;
        EXPECT_TRUE(workspace_.opened.empty()) << c.missing;
    }
}

// Failing tools and an application that does not start leave records but do not change the answer.
TEST_F(InstallRequest, FailuresAfterTheJobFilesOnlyLeaveWarnings) {
    for (const char* tool : {"launchctl", "chmod", "chown", "xattr", "hdiutil", "security"}) {
        sandbox_.set_tool_status(tool, 1);
    }
    workspace_.error = "The application could not be launched";

    EXPECT_EQ(install(*make_installer(), source()), true);

    EXPECT_TRUE(fs::exists(service_job()));
    EXPECT_TRUE(fs::exists(agent_job()));
    EXPECT_EQ(records_naming("warning", "quarantine"), 1u) << trace();
    EXPECT_EQ(records_naming("warning", "image"), 1u) << trace();
    EXPECT_EQ(records_naming("warning", "could not be launched"), 1u) << trace();
    EXPECT_EQ(workspace_.opened, std::vector<std::string>{destination()});
}

// As a connection delivers them: a tool that cannot start answers the failure value, and the helper
// goes on serving.
TEST_F(InstallRequest, AToolThatCannotStartAnswersNoThroughTheRequestBoundary) {
    const std::string bundle = source();
    const auto helper = make_installer();
    const auto dispatch = [&](core::request_id_t id, std::vector<platform::xpc::value_t> arguments) {
        platform::xpc::request_t request;
        request.method = &core::kExportedInterface[static_cast<std::size_t>(id)];
        request.arguments = std::move(arguments);
        std::vector<platform::xpc::value_t> replies;
        core::dispatch_request(*helper, request,
                               [&](const platform::xpc::value_t& value) { replies.push_back(value); });
        return replies;
    };
    const platform::xpc::value_t auth = std::optional(auth_form());
    const auto text = [](std::string value) {
        return platform::xpc::value_t(std::optional(std::move(value)));
    };
    const std::vector<std::pair<core::request_id_t, std::vector<platform::xpc::value_t>>> requests = {
        {core::request_id_t::install,
         {auth, text(bundle), text(""), text(kNamespace), text(""), static_cast<signed char>(0)}},
        {core::request_id_t::install_service, {auth, text(bundle), text(kNamespace), text("")}},
        {core::request_id_t::uninstall,
         {auth, text(destination()), text(""), text(kNamespace), text(""), static_cast<signed char>(0)}},
    };
    fs::remove(sandbox_.path("/bin/launchctl"));
    for (const auto& [id, arguments] : requests) {
        restart_trace();
        EXPECT_EQ(dispatch(id, arguments), std::vector<platform::xpc::value_t>{false});
        EXPECT_EQ(records_naming("error", "could not start a system tool"), 1u) << trace();
    }
    sandbox_.install_fake_tool("/bin/launchctl");
    EXPECT_EQ(dispatch(core::request_id_t::install, requests[0].second),
              std::vector<platform::xpc::value_t>{true});
}

}  // namespace
