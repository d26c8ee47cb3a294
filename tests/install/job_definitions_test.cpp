// The two launchd job files, read back through the property-list wrapper.
#include <gtest/gtest.h>

#include <fstream>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;

class JobDefinitions : public helper_tests::HelperSandbox {
protected:
    const install::namespace_names_t names_{"abc"};
    const std::string exe_ = "/Applications/X.app/Contents/MacOS/Quorvix";

    [[nodiscard]] static platform::property_list_t read_job(const std::string& path) {
        auto job = platform::property_list_t::read_file(path);
        EXPECT_TRUE(job) << path;
        return job ? std::move(*job) : platform::property_list_t::dictionary();
    }
};

TEST_F(JobDefinitions, EachJobFileHoldsExactlyItsSevenEntriesWithBooleansAsBooleans) {
    const auto helper = make_helper();
    ASSERT_TRUE(helper->_create_service_for_exe_path(names_, exe_));
    ASSERT_TRUE(helper->_create_agent_for_exe_path(names_, exe_));

    struct case_t {
        std::string path;
        std::string label;
        std::string role;
        std::string own_key;
        std::string own_value;
        std::string absent_key;
    };
    const case_t cases[] = {
        {names_.svc_file_path(), "com.trellwick.abc.service", "--service", "UserName", "root",
         "LimitLoadToSessionType"},
        {names_.agent_file_path(), "com.trellwick.abc.Frontend", "--control", "LimitLoadToSessionType",
         "Aqua", "UserName"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto job = read_job(c.path);
        const auto root = job.root();
        ASSERT_EQ(root.type(), platform::plist_type_t::dictionary);
        EXPECT_EQ(root.size(), 7u);
        EXPECT_EQ(root.string_for_key("Label"), c.label);
        EXPECT_EQ(fs::path(c.path).stem().string(), c.label);
        for (const auto& [key, value] : {std::pair{"Disabled", false}, std::pair{"RunAtLoad", true},
                                         std::pair{"KeepAlive", false}, std::pair{"LaunchOnlyOnce", true}}) {
            const auto entry = root.get(key);
            ASSERT_TRUE(entry) << key;
            EXPECT_EQ(entry->type(), platform::plist_type_t::boolean) << key;
            EXPECT_EQ(entry->as_bool(), value) << key;
        }
        EXPECT_EQ(root.string_for_key(c.own_key), c.own_value);
        EXPECT_FALSE(root.get(c.absent_key));
        const auto arguments = root.get("ProgramArguments");
        ASSERT_TRUE(arguments);
        ASSERT_EQ(arguments->size(), 2u);
        EXPECT_EQ(arguments->at(0)->as_string(), exe_);
        EXPECT_EQ(arguments->at(1)->as_string(), c.role);
    }
}

TEST_F(JobDefinitions, ServiceJobIsStoppedBeforeItsFileIsRewrittenAndTheAgentIsNeverStopped) {
    // The fake launchctl keeps a copy of the service job file as it was when the stop came.
    const std::string at_stop = sandbox_.path("/var/fake/at_stop.plist");
    sandbox_.install_fake_tool("/bin/launchctl");
    const std::string fake = sandbox_.read_file("/bin/launchctl");
    sandbox_.write_file("/bin/launchctl", "#!/bin/sh\ncp '" + names_.svc_file_path() + "' '" + at_stop +
                                              "'\n" + fake.substr(fake.find('\n') + 1));
    write_job_file(names_.svc_file_path(), {{"RunAtLoad", false}, {"Disabled", true}});

    const auto helper = make_helper();
    ASSERT_TRUE(helper->_create_service_for_exe_path(names_, exe_));
    ASSERT_TRUE(helper->_create_agent_for_exe_path(names_, exe_));

    EXPECT_EQ(sandbox_.tool_calls(),
              (std::vector<std::vector<std::string>>{
                  {sandbox_.path("/bin/launchctl"), "stop", "com.trellwick.abc.service"}}));
    EXPECT_EQ(job_flag(at_stop, "RunAtLoad"), false) << "the file was rewritten before the stop";
    // Values that service control changed are reset by the rewrite.
    EXPECT_EQ(job_flag(names_.svc_file_path(), "RunAtLoad"), true);
    EXPECT_EQ(job_flag(names_.svc_file_path(), "Disabled"), false);
}

TEST_F(JobDefinitions, RewriteInPlaceKeepsTheModeOfAnExistingFile) {
    write_job_file(names_.svc_file_path(), {{"RunAtLoad", false}});
    ASSERT_EQ(::chmod(names_.svc_file_path().c_str(), 0640), 0);
    ASSERT_TRUE(make_helper()->_create_service_for_exe_path(names_, exe_));
    EXPECT_EQ(mode_of(names_.svc_file_path()), 0640u);
    EXPECT_EQ(job_flag(names_.svc_file_path(), "RunAtLoad"), true);
}

TEST_F(JobDefinitions, MissingJobDirectoryFailsTheWriteAndOnlyTheServiceFailureIsRecorded) {
    fs::remove_all(sandbox_.path("/Library/LaunchDaemons"));
    fs::remove_all(sandbox_.path("/Library/LaunchAgents"));
    const auto helper = make_helper();

    EXPECT_FALSE(helper->_create_service_for_exe_path(names_, exe_));
    EXPECT_FALSE(fs::exists(sandbox_.path("/Library/LaunchDaemons"))) << "no directory is created";
    const auto errors = records("error");
    ASSERT_EQ(errors.size(), 1u) << trace();
    EXPECT_NE(errors[0].find(names_.svc_file_path()), std::string::npos) << errors[0];
    EXPECT_EQ(sandbox_.tool_calls().size(), 1u) << "the stop still ran";

    EXPECT_FALSE(helper->_create_agent_for_exe_path(names_, exe_));
    EXPECT_EQ(records("error").size(), 1u) << trace();
}

TEST_F(JobDefinitions, StopFailureDoesNotChangeTheResult) {
    sandbox_.set_tool_status("launchctl", 3);
    EXPECT_TRUE(make_helper()->_create_service_for_exe_path(names_, exe_));
    EXPECT_TRUE(fs::exists(names_.svc_file_path()));
}

}  // namespace
