// Starting, stopping and querying the service of a namespace against fake launchctl and hand-made job files.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;
using helper_tests::calls_t;

class ServiceControl : public helper_tests::HelperSandbox {
protected:
    ServiceControl() {
        // A launchctl whose status differs per subcommand, and that keeps the job file as the bootstrap saw
        // it.
        const std::string fake = sandbox_.path("/var/fake/");
        sandbox_.write_file("/bin/launchctl",
                            "#!/bin/sh\nline='" + launchctl_ +
                                "'\nfor a in \"$@\"; do line=\"$line$(printf '\\t')$a\"; done\n"
                                "printf '%s\\n' \"$line\" >> '" +
                                sandbox_.path("/var/log/tools.log") +
                                "'\n[ \"$1\" = bootstrap ] && cp \"$3\" '" + fake +
                                "at_bootstrap.plist'\nf='" + fake +
                                "'launchctl.\"$1\".status\n[ -f \"$f\" ] && exit \"$(cat \"$f\")\"\n"
                                "exit 0\n");
    }
    void file(const std::string& path, const std::string& content) const {
        sandbox_.write_file(path.substr(sandbox_.root().size()), content);
    }
    [[nodiscard]] std::string file(const std::string& path) const {
        return sandbox_.read_file(path.substr(sandbox_.root().size()));
    }

    const std::string launchctl_ = sandbox_.path("/bin/launchctl");
    const install::namespace_names_t abc_{"abc"};
    const std::shared_ptr<core::helper_tool_t> helper_ = make_helper();
};

TEST_F(ServiceControl, StartEnablesADisabledJobBeforeTheBootstrapAndFallsBackToStartByLabel) {
    write_job_file(abc_.svc_file_path(), {{"Disabled", true}, {"RunAtLoad", false}});
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->start_service_with_namespace("abc", r); }), true);
    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl_, "bootstrap", "system", abc_.svc_file_path()}}));
    EXPECT_EQ(job_flag(sandbox_.path("/var/fake/at_bootstrap.plist"), "Disabled"), false);
    EXPECT_EQ(job_flag(abc_.svc_file_path(), "RunAtLoad"), false) << "only Disabled is rewritten";
    ASSERT_EQ(records("warning").size(), 1u) << trace();
    EXPECT_NE(records("warning")[0].find(abc_.svc_file_path()), std::string::npos);
    EXPECT_EQ(helper_->qvNamespace(), "abc");

    // An enabled job, or one whose file cannot be read, is left as it is.
    sandbox_.set_tool_status("launchctl.bootstrap", 37);
    for (const auto& [content, start_status] :
         {std::pair{file(abc_.svc_file_path()), 0}, std::pair{std::string("not a property list"), 5}}) {
        sandbox_.clear_tool_log();
        file(abc_.svc_file_path(), content);
        sandbox_.set_tool_status("launchctl.start", start_status);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->start_service_with_namespace("abc", r); }),
                  start_status == 0);
        EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl_, "bootstrap", "system", abc_.svc_file_path()},
                                                  {launchctl_, "start", "com.trellwick.abc.service"}}));
        EXPECT_EQ(file(abc_.svc_file_path()), content);
    }
}

TEST_F(ServiceControl, QueriesAnswerFromTheJobFilesAndReadMissingOrBrokenOnesAsNo) {
    const auto plist = [](const std::string& inside) {
        return "<plist version=\"1.0\">" + inside + "</plist>";
    };
    // The files' content (absent: no file); installed, disabled, run at load.
    const std::tuple<std::optional<std::string>, bool, bool, bool> cases[] = {
        {std::nullopt, false, false, false},
        {plist("<dict/>"), true, false, false},
        {plist("<dict><key>Disabled</key><true/><key>RunAtLoad</key><true/></dict>"), true, true, true},
        {plist("<dict><key>Disabled</key><false/><key>RunAtLoad</key><false/></dict>"), true, false, false},
        {plist(
             "<dict><key>Disabled</key><integer>1</integer><key>RunAtLoad</key><integer>1</integer></dict>"),
         true, true, true},
        {plist(
             "<dict><key>Disabled</key><string>yes</string><key>RunAtLoad</key><string>yes</string></dict>"),
         true, false, false},
        {plist("<array><true/></array>"), true, false, false},
        {std::string("<plist><dict><key>RunAtLoad"), true, false, false},
    };
    for (const auto& [content, installed, disabled, run_at_load] : cases) {
        SCOPED_TRACE(content.value_or("no job file"));
        fs::remove(abc_.svc_file_path());
        fs::remove(abc_.agent_file_path());
        if (content) {
            file(abc_.svc_file_path(), *content);
            file(abc_.agent_file_path(), *content);
        }
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_installed_with_namespace("abc", r); }),
                  installed);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_disabled_with_namespace("abc", r); }),
                  disabled);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_run_at_load_with_namespace("abc", r); }),
                  run_at_load);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->isAutostartEnabledForNamespace("abc", r); }), run_at_load);
    }
    // Run at load is the service job's, automatic start the agent job's.
    for (const bool service_runs_at_load : {true, false}) {
        write_job_file(abc_.svc_file_path(), {{"RunAtLoad", service_runs_at_load}});
        write_job_file(abc_.agent_file_path(), {{"RunAtLoad", !service_runs_at_load}});
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_run_at_load_with_namespace("abc", r); }),
                  service_runs_at_load);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->isAutostartEnabledForNamespace("abc", r); }),
                  !service_runs_at_load);
    }
    // Queries take namespaces that validation refuses, and record them.
    write_job_file(install::namespace_names_t("a-b").svc_file_path(), {});
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_installed_with_namespace("a-b", r); }), true);
    EXPECT_EQ(helper_->qvNamespace(), "a-b");
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_EQ(trace(), "");
}

TEST_F(ServiceControl, ValidatingRequestsRefuseEmptyAndInvalidNamespacesTouchingNothing) {
    const std::optional<std::string> refused[] = {std::nullopt, "",    "a-b",         "..",   "../abc",
                                                  "a/b",        "a b", "caf\xC3\xA9", "abc\n"};
    const unsigned etc_mode = mode_of(sandbox_.path("/etc"));
    helper_->setQvNamespace("before");
    for (const auto& qv_namespace : refused) {
        SCOPED_TRACE(qv_namespace.value_or("(nil)"));
        // Job files where a careless request would find them.
        const install::namespace_names_t names(qv_namespace.value_or(""));
        write_job_file(names.svc_file_path(), {{"Disabled", true}});
        write_job_file(names.agent_file_path(), {{"RunAtLoad", true}});
        const std::string service_job = file(names.svc_file_path());
        const std::string agent_job = file(names.agent_file_path());

        EXPECT_EQ(ask<bool>([&](auto r) { helper_->start_service_with_namespace(qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(false, qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions(qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->quit_service(qv_namespace, r); }), false);
        EXPECT_EQ(file(names.svc_file_path()), service_job);
        EXPECT_EQ(file(names.agent_file_path()), agent_job);
    }
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_EQ(mode_of(sandbox_.path("/etc")), etc_mode);
    EXPECT_EQ(helper_->qvNamespace(), "before");
    EXPECT_EQ(trace(), "");
}

TEST_F(ServiceControl, AutostartQuitAndPermissionRequestsAnswerAsTheirStepsAllow) {
    write_job_file(abc_.svc_file_path(), {{"RunAtLoad", true}, {"Disabled", false}});
    write_job_file(abc_.agent_file_path(), {{"RunAtLoad", true}});
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(false, "abc", r); }), true);
    EXPECT_EQ(job_flag(abc_.svc_file_path(), "RunAtLoad"), false);
    EXPECT_EQ(job_flag(abc_.agent_file_path(), "RunAtLoad"), false);
    EXPECT_EQ(job_flag(abc_.svc_file_path(), "Disabled"), false);
    // No job files: YES, and none is created. A corrupt one is refused, not replaced.
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(true, "other", r); }), true);
    EXPECT_FALSE(fs::exists(install::namespace_names_t("other").svc_file_path()));
    file(abc_.agent_file_path(), "garbage");
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(true, "abc", r); }), true);
    EXPECT_EQ(file(abc_.agent_file_path()), "garbage");
    EXPECT_TRUE(sandbox_.tool_calls().empty());

    // A service that is not loaded still counts as stopped.
    sandbox_.set_tool_status("launchctl.stop", 113);
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->quit_service("abc", r); }), true);
    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl_, "stop", "com.trellwick.abc.service"}}));

    // A second name of another file inside is left as it is, and the answer says so.
    const std::string conf = abc_.global_config_dir() + "/system.conf";
    file(conf, "s");
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions("abc", r); }), true);
    EXPECT_EQ(mode_of(abc_.global_config_dir()), 0775u);
    EXPECT_EQ(mode_of(conf), 0664u);
    fs::permissions(conf, fs::perms::owner_read);
    fs::create_hard_link(conf, abc_.global_config_dir() + "/other.conf");
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions("abc", r); }), false);
    EXPECT_EQ(mode_of(conf), 0400u);

    // A namespace without a service job is no installation: "/etc/ssh" is not repaired for anyone.
    fs::create_directories(sandbox_.path("/etc/ssh"));
    sandbox_.clear_tool_log();
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions("ssh", r); }), false);
    EXPECT_TRUE(sandbox_.tool_calls().empty());
}

TEST_F(ServiceControl, ConcurrentRequestsForTwoNamespacesEachActOnlyOnTheirOwn) {
    const install::namespace_names_t alpha("alpha");
    const install::namespace_names_t beta("beta");
    for (const auto* names : {&alpha, &beta}) {
        write_job_file(names->svc_file_path(), {{"Disabled", true}, {"RunAtLoad", true}});
        write_job_file(names->agent_file_path(), {{"RunAtLoad", true}});
        fs::create_directories(names->global_config_dir());
    }
    const unsigned alpha_config_mode = mode_of(alpha.global_config_dir());
    constexpr int kRounds = 15;
    std::atomic<int> alpha_wrong{0};
    // One connection starts and queries alpha while the other stops beta and switches its start off.
    std::thread first([&] {
        for (int i = 0; i < kRounds; ++i) {
            alpha_wrong +=
                ask<bool>([&](auto r) { helper_->start_service_with_namespace("alpha", r); }) != true;
            alpha_wrong += ask<bool>([&](auto r) {
                               helper_->is_service_run_at_load_with_namespace("alpha", r);
                           }) != true;
        }
    });
    std::thread second([&] {
        for (int i = 0; i < kRounds; ++i) {
            (void)ask<bool>([&](auto r) { helper_->quit_service("beta", r); });
            (void)ask<bool>([&](auto r) { helper_->setAutostartEnabled(false, "beta", r); });
            (void)ask<bool>([&](auto r) { helper_->fix_config_permissions("beta", r); });
        }
    });
    first.join();
    second.join();

    EXPECT_EQ(alpha_wrong.load(), 0);
    std::map<std::string, int> subjects;
    for (const auto& call : sandbox_.tool_calls()) {
        ++subjects[call[1] == "bootstrap" || call[1] == "stop" ? call[1] + " " + call.back() : call.back()];
    }
    EXPECT_EQ(subjects, (std::map<std::string, int>{{"bootstrap " + alpha.svc_file_path(), kRounds},
                                                    {"stop " + beta.svc_label(), kRounds}}));
    EXPECT_EQ(mode_of(beta.global_config_dir()), 0775u);
    EXPECT_EQ(mode_of(alpha.global_config_dir()), alpha_config_mode);
    EXPECT_EQ(job_flag(alpha.svc_file_path(), "Disabled"), false);
    EXPECT_EQ(job_flag(alpha.agent_file_path(), "RunAtLoad"), true);
    EXPECT_EQ(job_flag(beta.svc_file_path(), "Disabled"), true);
    EXPECT_EQ(job_flag(beta.agent_file_path(), "RunAtLoad"), false);
}

}  // namespace
