// Starting, stopping and querying the service of a namespace against fake launchctl and hand-made job files.
#include <gtest/gtest.h>

#include <thread>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;
using calls_t = std::vector<std::vector<std::string>>;

class ServiceControl : public helper_tests::HelperSandbox {
protected:
    ServiceControl() {
        // A launchctl whose status differs per subcommand, and that keeps the job file as it was when
        // the bootstrap came.
        const std::string fake = sandbox_.path("/var/fake/");
        sandbox_.write_file("/bin/launchctl",
                            "#!/bin/sh\n"
                            "line='" +
                                sandbox_.path("/bin/launchctl") +
                                "'\n"
                                "for a in \"$@\"; do line=\"$line$(printf '\\t')$a\"; done\n"
                                "printf '%s\\n' \"$line\" >> '" +
                                sandbox_.path("/var/log/tools.log") +
                                "'\n"
                                "[ \"$1\" = bootstrap ] && cp \"$3\" '" +
                                fake +
                                "at_bootstrap.plist'\n"
                                "[ -f '" +
                                fake + "'launchctl.\"$1\".status ] && exit \"$(cat '" + fake +
                                "'launchctl.\"$1\".status)\"\n"
                                "exit 0\n");
    }
    void set_launchctl_status(const std::string& subcommand, int status) const {
        sandbox_.set_tool_status("launchctl." + subcommand, status);
    }
    [[nodiscard]] std::string launchctl() const { return sandbox_.path("/bin/launchctl"); }

    const install::namespace_names_t abc_{"abc"};
    const std::shared_ptr<core::helper_tool_t> helper_ = make_helper();
};

TEST_F(ServiceControl, StartRewritesADisabledJobAsEnabledBeforeTheBootstrap) {
    write_job_file(abc_.svc_file_path(), {{"Disabled", true}, {"RunAtLoad", false}});

    EXPECT_EQ(ask<bool>([&](auto reply) { helper_->start_service_with_namespace("abc", reply); }), true);

    EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl(), "bootstrap", "system", abc_.svc_file_path()}}));
    EXPECT_EQ(job_flag(sandbox_.path("/var/fake/at_bootstrap.plist"), "Disabled"), false);
    EXPECT_EQ(job_flag(abc_.svc_file_path(), "RunAtLoad"), false) << "only Disabled is rewritten";
    const auto warnings = records("warning");
    ASSERT_EQ(warnings.size(), 1u) << trace();
    EXPECT_NE(warnings[0].find(abc_.svc_file_path()), std::string::npos);
    EXPECT_EQ(helper_->qvNamespace(), "abc");
}

TEST_F(ServiceControl, StartLeavesAJobWithoutDisabledOrAnUnreadableJobFileAsItIs) {
    for (const std::string& content : {std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                                   "<key>RunAtLoad</key><true/></dict></plist>"),
                                       std::string("not a property list")}) {
        SCOPED_TRACE(content);
        sandbox_.clear_tool_log();
        sandbox_.write_file("/Library/LaunchDaemons/com.trellwick.abc.service.plist", content);
        EXPECT_EQ(ask<bool>([&](auto reply) { helper_->start_service_with_namespace("abc", reply); }), true);
        EXPECT_EQ(sandbox_.read_file("/Library/LaunchDaemons/com.trellwick.abc.service.plist"), content);
        EXPECT_EQ(sandbox_.tool_calls().size(), 1u);
    }
    EXPECT_TRUE(records("warning").empty()) << trace();
}

TEST_F(ServiceControl, FailedBootstrapFallsBackToStartingTheJobByItsLabel) {
    struct case_t {
        int start_status;
        bool reply;
    };
    write_job_file(abc_.svc_file_path(), {});
    set_launchctl_status("bootstrap", 37);
    for (const auto& c : {case_t{0, true}, case_t{3, false}}) {
        SCOPED_TRACE(c.start_status);
        sandbox_.clear_tool_log();
        set_launchctl_status("start", c.start_status);
        EXPECT_EQ(ask<bool>([&](auto reply) { helper_->start_service_with_namespace("abc", reply); }),
                  c.reply);
        EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl(), "bootstrap", "system", abc_.svc_file_path()},
                                                  {launchctl(), "start", "com.trellwick.abc.service"}}));
    }
}

TEST_F(ServiceControl, QueriesAnswerFromTheJobFilesAndReadMissingOrBrokenOnesAsNo) {
    struct case_t {
        std::string what;
        std::optional<std::string> entries;  // the dictionary's inside; absent: no file
        bool installed;
        bool disabled;
        bool run_at_load;
    };
    const auto plist = [](const std::string& inside) {
        return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + inside + "</plist>";
    };
    const case_t cases[] = {
        {"no job file", std::nullopt, false, false, false},
        {"no keys", plist("<dict/>"), true, false, false},
        {"disabled, run at load", plist("<dict><key>Disabled</key><true/><key>RunAtLoad</key><true/></dict>"),
         true, true, true},
        {"enabled, not at load",
         plist("<dict><key>Disabled</key><false/><key>RunAtLoad</key><false/></dict>"), true, false, false},
        {"numbers for booleans",
         plist(
             "<dict><key>Disabled</key><integer>1</integer><key>RunAtLoad</key><integer>1</integer></dict>"),
         true, true, true},
        {"text for booleans",
         plist(
             "<dict><key>Disabled</key><string>yes</string><key>RunAtLoad</key><string>yes</string></dict>"),
         true, false, false},
        {"an array, not a dictionary", plist("<array><true/></array>"), true, false, false},
        {"corrupt", std::string("<plist><dict><key>RunAtLoad"), true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(abc_.svc_file_path());
        fs::remove(abc_.agent_file_path());
        if (c.entries) {
            sandbox_.write_file(abc_.svc_file_path().substr(sandbox_.root().size()), *c.entries);
            sandbox_.write_file(abc_.agent_file_path().substr(sandbox_.root().size()), *c.entries);
        }
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_installed_with_namespace("abc", r); }),
                  c.installed);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_disabled_with_namespace("abc", r); }),
                  c.disabled);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_run_at_load_with_namespace("abc", r); }),
                  c.run_at_load);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->isAutostartEnabledForNamespace("abc", r); }),
                  c.run_at_load);
    }
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_EQ(trace(), "") << "queries write no records";
}

TEST_F(ServiceControl, QueriesTakeNamespacesThatValidationRefusesAndRecordThem) {
    const install::namespace_names_t odd("a-b");
    write_job_file(odd.svc_file_path(), {{"Disabled", true}});
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_installed_with_namespace("a-b", r); }), true);
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_disabled_with_namespace("a-b", r); }), true);
    EXPECT_EQ(helper_->qvNamespace(), "a-b");
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->is_service_installed_with_namespace(std::nullopt, r); }),
              false);
    EXPECT_EQ(helper_->qvNamespace(), "a-b") << "nil names nothing to record";
}

TEST_F(ServiceControl, ValidatingRequestsRefuseEmptyAndInvalidNamespacesTouchingNothing) {
    const std::optional<std::string> refused[] = {std::nullopt, "",    "a-b",         "..",   "../abc",
                                                  "a/b",        "a b", "caf\xC3\xA9", "abc\n"};
    for (const auto& qv_namespace : refused) {
        // Job files where a careless request would find them.
        write_job_file(install::namespace_names_t(qv_namespace.value_or("")).svc_file_path(),
                       {{"Disabled", true}});
        write_job_file(install::namespace_names_t(qv_namespace.value_or("")).agent_file_path(),
                       {{"RunAtLoad", true}});
    }
    const unsigned etc_mode = mode_of(sandbox_.path("/etc"));
    helper_->setQvNamespace("before");

    for (const auto& qv_namespace : refused) {
        SCOPED_TRACE(qv_namespace ? "\"" + *qv_namespace + "\"" : "nil");
        const install::namespace_names_t names(qv_namespace.value_or(""));
        const std::string service_job =
            sandbox_.read_file(names.svc_file_path().substr(sandbox_.root().size()));
        const std::string agent_job =
            sandbox_.read_file(names.agent_file_path().substr(sandbox_.root().size()));

        EXPECT_EQ(ask<bool>([&](auto r) { helper_->start_service_with_namespace(qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(false, qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions(qv_namespace, r); }), false);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->quit_service(qv_namespace, r); }), false);

        EXPECT_EQ(sandbox_.read_file(names.svc_file_path().substr(sandbox_.root().size())), service_job);
        EXPECT_EQ(sandbox_.read_file(names.agent_file_path().substr(sandbox_.root().size())), agent_job);
    }
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_EQ(mode_of(sandbox_.path("/etc")), etc_mode);
    EXPECT_EQ(helper_->qvNamespace(), "before");
    EXPECT_EQ(trace(), "");
}

TEST_F(ServiceControl, SetAutostartWritesRunAtLoadIntoBothJobFilesAndAnswersYesWithoutThem) {
    write_job_file(abc_.svc_file_path(), {{"RunAtLoad", true}, {"Disabled", false}});
    write_job_file(abc_.agent_file_path(), {{"RunAtLoad", true}});
    for (const bool enabled : {false, true}) {
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(enabled, "abc", r); }), true);
        EXPECT_EQ(job_flag(abc_.svc_file_path(), "RunAtLoad"), enabled);
        EXPECT_EQ(job_flag(abc_.agent_file_path(), "RunAtLoad"), enabled);
        EXPECT_EQ(job_flag(abc_.svc_file_path(), "Disabled"), false);
    }
    // Neither file: nothing to write, still YES, and nothing created.
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(true, "other", r); }), true);
    EXPECT_FALSE(fs::exists(install::namespace_names_t("other").svc_file_path()));
    // A corrupt file is refused, not replaced.
    sandbox_.write_file("/Library/LaunchAgents/com.trellwick.abc.Frontend.plist", "garbage");
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->setAutostartEnabled(false, "abc", r); }), true);
    EXPECT_EQ(sandbox_.read_file("/Library/LaunchAgents/com.trellwick.abc.Frontend.plist"), "garbage");
    EXPECT_TRUE(sandbox_.tool_calls().empty());
}

TEST_F(ServiceControl, QuitStopsTheServiceByLabelAndAnswersYesWhateverLaunchctlSays) {
    for (const int status : {0, 113}) {
        sandbox_.clear_tool_log();
        set_launchctl_status("stop", status);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->quit_service("abc", r); }), true) << status;
        EXPECT_EQ(sandbox_.tool_calls(), (calls_t{{launchctl(), "stop", "com.trellwick.abc.service"}}));
    }
}

TEST_F(ServiceControl, FixConfigPermissionsAnswersThePermissionStepsResult) {
    for (const int status : {0, 1}) {
        sandbox_.clear_tool_log();
        sandbox_.set_tool_status("chown", status);
        EXPECT_EQ(ask<bool>([&](auto r) { helper_->fix_config_permissions("abc", r); }), status == 0);
        const auto calls = sandbox_.tool_calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[2], (std::vector<std::string>{sandbox_.path("/usr/sbin/chown"), "-R", "root:staff",
                                                      abc_.global_config_dir()}));
    }
}

TEST_F(ServiceControl, SetTrayAnswersYesWhateverItIsGiven) {
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->set_tray_enabled(std::nullopt, false, std::nullopt, r); }),
              true);
    EXPECT_EQ(ask<bool>([&](auto r) { helper_->set_tray_enabled("x", true, "/nowhere", r); }), true);
    EXPECT_TRUE(sandbox_.tool_calls().empty());
}

TEST_F(ServiceControl, ConcurrentRequestsForTwoNamespacesEachActOnlyOnTheirOwn) {
    const install::namespace_names_t alpha("alpha");
    const install::namespace_names_t beta("beta");
    for (const auto* names : {&alpha, &beta}) {
        write_job_file(names->svc_file_path(), {{"Disabled", true}, {"RunAtLoad", true}});
        write_job_file(names->agent_file_path(), {{"RunAtLoad", true}});
    }
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
    int bootstraps = 0;
    int stops = 0;
    for (const auto& call : sandbox_.tool_calls()) {
        const std::string& subject = call.back();
        if (call[1] == "bootstrap") {
            ++bootstraps;
            EXPECT_EQ(subject, alpha.svc_file_path());
        } else if (call[1] == "stop") {
            ++stops;
            EXPECT_EQ(subject, beta.svc_label());
        } else {
            EXPECT_EQ(subject, beta.global_config_dir()) << call[0];
        }
    }
    EXPECT_EQ(bootstraps, kRounds);
    EXPECT_EQ(stops, kRounds);
    EXPECT_EQ(job_flag(alpha.svc_file_path(), "Disabled"), false);
    EXPECT_EQ(job_flag(alpha.svc_file_path(), "RunAtLoad"), true);
    EXPECT_EQ(job_flag(alpha.agent_file_path(), "RunAtLoad"), true);
    EXPECT_EQ(job_flag(beta.svc_file_path(), "Disabled"), true);
    EXPECT_EQ(job_flag(beta.svc_file_path(), "RunAtLoad"), false);
    EXPECT_EQ(job_flag(beta.agent_file_path(), "RunAtLoad"), false);
}

}  // namespace
