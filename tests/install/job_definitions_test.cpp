// The two launchd job files, read back through the property-list wrapper.
#include <gtest/gtest.h>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;

class JobDefinitions : public helper_tests::HelperSandbox {
protected:
    const install::namespace_names_t names_{"abc"};
    const std::string exe_ = "/Applications/X.app/Contents/MacOS/Quorvix";
};

TEST_F(JobDefinitions, EachJobFileHoldsExactlyItsSevenEntriesWithBooleansAsBooleans) {
    const auto helper = make_helper();
    ASSERT_TRUE(helper->_create_service_for_exe_path(names_, exe_));
    ASSERT_TRUE(helper->_create_agent_for_exe_path(names_, exe_));

    // Path, role argument, the entry only this job has, the entry only the other has.
    const std::tuple<std::string, std::string, std::pair<std::string, std::string>, std::string> cases[] = {
        {names_.svc_file_path(), "--service", {"UserName", "root"}, "LimitLoadToSessionType"},
        {names_.agent_file_path(), "--control", {"LimitLoadToSessionType", "Aqua"}, "UserName"},
    };
    for (const auto& [path, role, own, other] : cases) {
        SCOPED_TRACE(path);
        const auto job = platform::property_list_t::read_file(path);
        ASSERT_TRUE(job);
        const auto root = job->root();
        EXPECT_EQ(root.size(), 7u);
        EXPECT_EQ(root.string_for_key("Label"), fs::path(path).stem().string());
        for (const auto& [key, value] : {std::pair{"Disabled", false}, std::pair{"RunAtLoad", true},
                                         std::pair{"KeepAlive", false}, std::pair{"LaunchOnlyOnce", true}}) {
            EXPECT_EQ(root.get(key).value().type(), platform::plist_type_t::boolean) << key;
            EXPECT_EQ(root.get(key).value().as_bool(), value) << key;
        }
        EXPECT_EQ(root.string_for_key(own.first), own.second);
        EXPECT_FALSE(root.get(other));
        const auto arguments = root.get("ProgramArguments").value();
        ASSERT_EQ(arguments.size(), 2u);
        EXPECT_EQ(arguments.at(0).value().as_string(), exe_);
        EXPECT_EQ(arguments.at(1).value().as_string(), role);
    }
}

TEST_F(JobDefinitions, ServiceJobIsStoppedBeforeItsFileIsRewrittenInPlace) {
    // The fake launchctl keeps a copy of the service job file as it was when the stop came.
    const std::string at_stop = sandbox_.path("/var/fake/at_stop.plist");
    const std::string fake = sandbox_.read_file("/bin/launchctl");
    sandbox_.write_file("/bin/launchctl", "#!/bin/sh\ncp '" + names_.svc_file_path() + "' '" + at_stop +
                                              "'\n" + fake.substr(fake.find('\n') + 1));
    write_job_file(names_.svc_file_path(), {{"RunAtLoad", false}, {"Disabled", true}});
    ASSERT_EQ(::chmod(names_.svc_file_path().c_str(), 0640), 0);

    const auto helper = make_helper();
    ASSERT_TRUE(helper->_create_service_for_exe_path(names_, exe_));
    ASSERT_TRUE(helper->_create_agent_for_exe_path(names_, exe_));

    EXPECT_EQ(sandbox_.tool_calls(),
              (helper_tests::calls_t{{sandbox_.path("/bin/launchctl"), "stop", "com.trellwick.abc.service"}}))
        << "the agent is never stopped";
    EXPECT_EQ(job_flag(at_stop, "RunAtLoad"), false) << "the file was rewritten before the stop";
    EXPECT_EQ(job_flag(names_.svc_file_path(), "RunAtLoad"), true);
    EXPECT_EQ(job_flag(names_.svc_file_path(), "Disabled"), false);
    EXPECT_EQ(mode_of(names_.svc_file_path()), 0640u) << "written in place, the file keeps its mode";
}

TEST_F(JobDefinitions, MissingJobDirectoryFailsTheWriteAndOnlyTheServiceFailureIsRecorded) {
    fs::remove_all(sandbox_.path("/Library/LaunchDaemons"));
    fs::remove_all(sandbox_.path("/Library/LaunchAgents"));
    sandbox_.set_tool_status("launchctl", 3);
    const auto helper = make_helper();

    EXPECT_FALSE(helper->_create_service_for_exe_path(names_, exe_));
    EXPECT_FALSE(helper->_create_agent_for_exe_path(names_, exe_));
    EXPECT_FALSE(fs::exists(sandbox_.path("/Library/LaunchDaemons"))) << "no directory is created";
    const auto errors = records("error");
    ASSERT_EQ(errors.size(), 1u) << trace();
    EXPECT_NE(errors[0].find(names_.svc_file_path()), std::string::npos) << errors[0];
}

}  // namespace
