// The global configuration directory and the global trace file.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"

namespace {

namespace fs = std::filesystem;
using files_t = std::map<std::string, std::string>;

class GlobalConfig : public helper_tests::HelperSandbox {
protected:
    const install::namespace_names_t names_{"abc"};
    const std::string source_ = sandbox_.path("/Users/Shared/conf");

    void write_files(const std::string& dir, const files_t& files) const {
        fs::create_directories(dir);
        for (const auto& [name, content] : files) {
            sandbox_.write_file(dir.substr(sandbox_.root().size()) + "/" + name, content);
        }
    }
    [[nodiscard]] static files_t read_files(const std::string& dir) {
        files_t files;
        if (fs::is_directory(dir)) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                files[entry.path().filename().string()] = fixtures::read_text_file(entry.path());
            }
        }
        return files;
    }
    [[nodiscard]] std::vector<std::vector<std::string>> permission_calls() const {
        const std::string dir = names_.global_config_dir();
        return {{sandbox_.path("/bin/chmod"), "-R", "664", dir},
                {sandbox_.path("/bin/chmod"), "775", dir},
                {sandbox_.path("/usr/sbin/chown"), "-R", "root:staff", dir}};
    }
};

const files_t kFullSource = {
    {"system.conf", "system new"}, {"service.conf", "service new"}, {"connection_trace.txt", "trace new"}};

TEST_F(GlobalConfig, MigrationCopiesOnlyACompleteConfigurationAndNeverOverwrites) {
    struct case_t {
        std::string what;
        std::optional<files_t> source;  // absent: no source directory given
        files_t global_before;
        files_t global_after;
        const char* record;
    };
    const case_t cases[] = {
        {"absent directory", kFullSource, {}, kFullSource, "info"},
        {"source without its service.conf", files_t{{"system.conf", "s"}}, {}, {}, "warning"},
        {"configuration already in place",
         kFullSource,
         {{"system.conf", "system old"}, {"service.conf", "service old"}},
         {{"system.conf", "system old"}, {"service.conf", "service old"}},
         "warning"},
        {"half a configuration in place",
         kFullSource,
         {{"service.conf", "service old"}},
         {{"system.conf", "system new"},
          {"service.conf", "service old"},
          {"connection_trace.txt", "trace new"}},
         "info"},
        {"source without the companion file",
         files_t{{"system.conf", "system new"}, {"service.conf", "service new"}},
         {},
         {{"system.conf", "system new"}, {"service.conf", "service new"}},
         "info"},
        {"no source directory", std::nullopt, {}, {}, "warning"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(source_);
        fs::remove_all(names_.global_config_dir());
        restart_trace();
        sandbox_.clear_tool_log();
        if (c.source) {
            write_files(source_, *c.source);
        }
        if (!c.global_before.empty()) {
            write_files(names_.global_config_dir(), c.global_before);
        }

        make_helper()->_migrateToGlobalConfigFrom(names_, c.source ? std::optional(source_) : std::nullopt);

        EXPECT_TRUE(fs::is_directory(names_.global_config_dir()));
        EXPECT_EQ(read_files(names_.global_config_dir()), c.global_after);
        if (c.source) {
            EXPECT_EQ(read_files(source_), *c.source) << "files are copied, never moved";
        }
        // The migration's own record, then the permission step's info record.
        const std::size_t migration_records = std::string(c.record) == "info" ? 2u : 1u;
        EXPECT_EQ(records(c.record).size(), migration_records) << trace();
        EXPECT_TRUE(records("error").empty()) << trace();
        EXPECT_EQ(sandbox_.tool_calls(), permission_calls()) << "the permissions are applied in every case";
    }
}

TEST_F(GlobalConfig, MigratedDirectoryGetsItsModesAndTheOwnerRootStaff) {
    if (::geteuid() != 0) {
        GTEST_SKIP()
            << "only root can descend into the directory after the recursive 0664 takes its search bit";
    }
    sandbox_.link_real_tool("/bin/chmod", "/bin/chmod");
    sandbox_.link_real_tool("/usr/sbin/chown", "/bin/chown");
    write_files(source_, kFullSource);
    for (const auto& [name, content] : kFullSource) {
        fs::permissions(source_ + "/" + name, fs::perms::owner_read | fs::perms::owner_write);
    }

    make_helper()->_migrateToGlobalConfigFrom(names_, source_);

    const std::string dir = names_.global_config_dir();
    EXPECT_EQ(mode_of(dir), 0775u);
    const group* staff = ::getgrnam("staff");
    ASSERT_NE(staff, nullptr) << "Debian has the group staff";
    for (const std::string& path :
         {dir, dir + "/system.conf", dir + "/service.conf", dir + "/connection_trace.txt"}) {
        if (path != dir) {
            EXPECT_EQ(mode_of(path), 0664u) << path;
        }
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0) << path;
        EXPECT_EQ(status.st_uid, 0u) << path;
        EXPECT_EQ(status.st_gid, staff->gr_gid) << path;
    }
    EXPECT_EQ(mode_of(source_ + "/system.conf"), 0600u) << "the source keeps its own modes";
}

TEST_F(GlobalConfig, PermissionStepRunsAllThreeCommandsAndAnswersWhetherAllSucceeded) {
    struct case_t {
        int chmod_status;
        int chown_status;
        bool result;
    };
    const case_t cases[] = {{0, 0, true}, {1, 0, false}, {0, 1, false}, {1, 1, false}};
    const auto helper = make_helper();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "chmod " << c.chmod_status << ", chown " << c.chown_status);
        sandbox_.clear_tool_log();
        sandbox_.set_tool_status("chmod", c.chmod_status);
        sandbox_.set_tool_status("chown", c.chown_status);
        EXPECT_EQ(helper->_fixGlobalConfigPermissions(names_), c.result);
        EXPECT_EQ(sandbox_.tool_calls(), permission_calls());
    }
}

TEST_F(GlobalConfig, DirectoryThatCannotBeCreatedIsRecordedAndTheLaterStepsStillRun) {
    // A file where the directory belongs.
    sandbox_.write_file("/etc/abc", "in the way");
    write_files(source_, kFullSource);

    make_helper()->_migrateToGlobalConfigFrom(names_, source_);

    const auto errors = records("error");
    ASSERT_EQ(errors.size(), 1u) << trace();
    EXPECT_NE(errors[0].find(names_.global_config_dir()), std::string::npos);
    EXPECT_EQ(sandbox_.read_file("/etc/abc"), "in the way");
    EXPECT_EQ(sandbox_.tool_calls(), permission_calls());
}

TEST_F(GlobalConfig, EmptyNamespaceTouchesNothingBelowEtc) {
    const install::namespace_names_t empty("");
    write_files(source_, kFullSource);
    const auto helper = make_helper();

    helper->_migrateToGlobalConfigFrom(empty, source_);
    EXPECT_FALSE(helper->_fixGlobalConfigPermissions(empty));

    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_FALSE(fs::exists(sandbox_.path("/etc/system.conf")));
    EXPECT_EQ(records("error").size(), 2u) << trace();
}

TEST(GlobalConfigFiles, DirectoryHoldsTheNamedFilesOnlyWhenEveryOneExists) {
    fixtures::sandbox_t sandbox;
    sandbox.write_file("/etc/abc/system.conf", "");
    sandbox.write_file("/etc/abc/service.conf", "");
    const std::string dir = sandbox.path("/etc/abc");
    EXPECT_TRUE(core::helper_tool_t::_verifyDir(dir, {"system.conf", "service.conf"}));
    EXPECT_TRUE(core::helper_tool_t::_verifyDir(dir, {}));
    EXPECT_FALSE(core::helper_tool_t::_verifyDir(dir, {"system.conf", "connection_trace.txt"}));
    EXPECT_FALSE(core::helper_tool_t::_verifyDir(sandbox.path("/etc/missing"), {"system.conf"}));
}

class GlobalTrace : public helper_tests::HelperSandbox {
protected:
    const install::namespace_names_t names_{"abc"};
};

TEST_F(GlobalTrace, MissingFileIsCreatedEmptyAndAnExistingOneKeepsItsContentBothWritableForEveryone) {
    sandbox_.link_real_tool("/bin/chmod", "/bin/chmod");
    const std::string path = names_.global_trace_file();
    ASSERT_EQ(path, sandbox_.path("/var/log/abc.trace"));
    const auto helper = make_helper();

    helper->_createGlobalTraceIfNeedFor(names_);
    EXPECT_EQ(sandbox_.read_file("/var/log/abc.trace"), "");
    EXPECT_EQ(mode_of(path), 0666u);
    EXPECT_EQ(records("info").size(), 1u) << trace();

    sandbox_.write_file("/var/log/abc.trace", "earlier records\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    helper->_createGlobalTraceIfNeedFor(names_);
    EXPECT_EQ(sandbox_.read_file("/var/log/abc.trace"), "earlier records\n");
    EXPECT_EQ(mode_of(path), 0666u);
    EXPECT_EQ(records("info").size(), 1u) << "an existing file is not created again";
}

TEST_F(GlobalTrace, FileThatCannotBeCreatedIsRecordedAndItsModeStillSet) {
    // A name longer than any file name may be.
    const install::namespace_names_t long_names(std::string(300, 'n'));
    make_helper()->_createGlobalTraceIfNeedFor(long_names);
    const auto errors = records("error");
    ASSERT_EQ(errors.size(), 1u) << trace();
    EXPECT_NE(errors[0].find(long_names.global_trace_file()), std::string::npos);
    EXPECT_EQ(sandbox_.tool_calls(),
              (std::vector<std::vector<std::string>>{
                  {sandbox_.path("/bin/chmod"), "666", long_names.global_trace_file()}}));
}

}  // namespace
