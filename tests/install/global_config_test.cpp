// The global configuration directory and the global trace file.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>

#include "install/helper_sandbox.h"
#include "install/namespace_names.h"
#include "platform/file_manager.h"
#include "support/product.h"

namespace {

namespace fs = std::filesystem;
using files_t = std::map<std::string, std::string>;

class GlobalConfig : public helper_tests::HelperSandbox {
protected:
    const install::namespace_names_t names_{"abc"};
    const std::string source_ = sandbox_.path("/Users/Shared/conf");
    const std::string global_ = names_.global_config_dir();

    static void write_files(const std::string& dir, const files_t& files) {
        fs::create_directories(dir);
        for (const auto& [name, content] : files) {
            std::ofstream(dir + "/" + name) << content;
        }
    }
    [[nodiscard]] static files_t read_files(const std::string& dir) {
        files_t files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            files[entry.path().filename().string()] = fixtures::read_text_file(entry.path());
        }
        return files;
    }
};

const files_t kSource = {
    {"system.conf", "new s"}, {"service.conf", "new v"}, {"connection_trace.txt", "new t"}};

TEST_F(GlobalConfig, MigrationCopiesOnlyACompleteConfigurationNeverOverwritesAndAlwaysFixesPermissions) {
    struct case_t {
        std::string what;
        std::optional<files_t> source;  // absent: no source directory given
        files_t before;
        files_t after;
        std::string level;  // of the migration's record
    };
    const case_t cases[] = {
        {"directory absent", kSource, {}, kSource, "info"},
        {"source without service.conf", files_t{{"system.conf", "s"}}, {}, {}, "warning"},
        {"configuration in place",
         kSource,
         {{"system.conf", "old"}, {"service.conf", "old"}},
         {{"system.conf", "old"}, {"service.conf", "old"}},
         "warning"},
        {"half a configuration in place",
         kSource,
         {{"service.conf", "old"}},
         {{"system.conf", "new s"}, {"service.conf", "old"}, {"connection_trace.txt", "new t"}},
         "info"},
        {"source without the companion file",
         files_t{{"system.conf", "s"}, {"service.conf", "v"}},
         {},
         {{"system.conf", "s"}, {"service.conf", "v"}},
         "info"},
        {"no source directory", std::nullopt, {}, {}, "warning"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(source_);
        fs::remove_all(global_);
        sandbox_.clear_tool_log();
        restart_trace();
        write_files(source_, c.source.value_or(files_t{}));
        if (!c.before.empty()) {
            write_files(global_, c.before);
        }

        make_helper()->_migrateToGlobalConfigFrom(names_, c.source ? std::optional(source_) : std::nullopt);

        EXPECT_EQ(read_files(global_), c.after);
        EXPECT_EQ(read_files(source_), c.source.value_or(files_t{})) << "files are copied, never moved";
        // The permission step adds an info record of its own.
        EXPECT_EQ(records(c.level).size(), c.level == "info" ? 2u : 1u) << trace();
        EXPECT_EQ(mode_of(global_), 0775u);
    }
}

// Root's configuration never points where the source's owner chose.
TEST_F(GlobalConfig, MigrationTakesOnlyPlainFilesNeverALink) {
    sandbox_.write_file("/var/db/secret", "root's");
    write_files(source_, {{"service.conf", "v"}});
    fs::create_symlink(sandbox_.path("/var/db/secret"), source_ + "/system.conf");
    fs::create_symlink(sandbox_.path("/var/db/secret"), source_ + "/connection_trace.txt");

    make_helper()->_migrateToGlobalConfigFrom(names_, source_);

    EXPECT_EQ(read_files(global_), (files_t{{"service.conf", "v"}}));
    EXPECT_EQ(records("info").size(), 2u) << trace();
}

// Everything inside the directory gets 0664 and root:staff, a subdirectory too; a link gets the owner
// and keeps pointing where it did, and a second name of another file is left as it is, which fails the step.
TEST_F(GlobalConfig, PermissionStepGivesTheTreeItsOwnerAndModesAndNothingBeyondIt) {
    const group* staff = ::getgrnam("staff");
    ASSERT_NE(staff, nullptr);
    const std::string secret = sandbox_.path("/var/db/secret");
    sandbox_.write_file("/var/db/secret", "root's");
    fs::permissions(secret, fs::perms::owner_read);
    std::string deepest;
    for (std::size_t level = 0; level <= platform::file_manager::kMaxTreeDepth; ++level) {
        deepest += "/d";
    }
    struct case_t {
        const char* what;
        const char* item;  // below G
        std::function<void(const std::string&)> make;
        unsigned mode;  // of the item afterwards
        uid_t owner;
        bool result;
    };
    const case_t cases[] = {
        {"a file", "/system.conf", [](const std::string& at) { std::ofstream(at) << "s"; }, 0664, 0, true},
        {"a subdirectory", "/sub", [](const std::string& at) { fs::create_directory(at); }, 0664, 0, true},
        {"a file in it", "/sub/file",
         [](const std::string& at) {
             fs::create_directory(fs::path(at).parent_path());
             std::ofstream(at) << "f";
         },
         0664, 0, true},
        {"a link", "/link", [&](const std::string& at) { fs::create_symlink(secret, at); }, 0777, 0, true},
        {"a second name of another file", "/second",
         [&](const std::string& at) { fs::create_hard_link(secret, at); }, 0400, 65534, false},
        {"a directory deeper than the walk goes", deepest.c_str(),
         [](const std::string& at) {
             fs::create_directories(at);
             fs::permissions(at, fs::perms::owner_all);
         },
         0700, 65534, false},
    };
    for (const auto& c : cases) {
        fs::remove_all(global_);
        fs::create_directories(global_);
        const std::string item = global_ + c.item;
        c.make(item);
        ASSERT_EQ(::lchown(item.c_str(), 65534, 65534), 0) << c.what;

        EXPECT_EQ(make_helper()->_fixGlobalConfigPermissions(names_), c.result) << c.what;

        struct stat status {};
        ASSERT_EQ(::lstat(item.c_str(), &status), 0) << c.what;
        EXPECT_EQ(status.st_mode & 07777, c.mode) << c.what;
        EXPECT_EQ(status.st_uid, c.owner) << c.what;
        ASSERT_EQ(::stat(global_.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0775u) << c.what;
        EXPECT_EQ(status.st_uid, 0u) << c.what;
        EXPECT_EQ(status.st_gid, staff->gr_gid) << c.what;
        EXPECT_EQ(mode_of(secret), 0400u) << c.what;
        ASSERT_EQ(::chown(secret.c_str(), 0, 0), 0);
    }
    EXPECT_TRUE(sandbox_.tool_calls().empty());
}

// A link at G would lead elsewhere, and a file at G is another program's.
TEST_F(GlobalConfig, PermissionStepActsOnlyOnADirectoryOfItsOwn) {
    fs::create_directories(sandbox_.path("/etc/ssh"));
    const unsigned ssh_mode = mode_of(sandbox_.path("/etc/ssh"));
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"a link to a directory", [&] { fs::create_directory_symlink(sandbox_.path("/etc/ssh"), global_); }},
        {"a file", [&] { sandbox_.write_file("/etc/abc", "sudoers"); }},
        {"nothing", [] {}},
    };
    const auto helper = make_helper();
    for (const auto& c : cases) {
        fs::remove_all(global_);
        c.make();
        sandbox_.clear_tool_log();
        restart_trace();
        EXPECT_FALSE(helper->_fixGlobalConfigPermissions(names_)) << c.what;
        EXPECT_EQ(mode_of(sandbox_.path("/etc/ssh")), ssh_mode) << c.what;
        EXPECT_EQ(records("error").size(), 1u) << c.what << "\n" << trace();
    }
}

TEST_F(GlobalConfig, EmptyNamespaceTouchesNothingBelowEtc) {
    const install::namespace_names_t empty("");
    write_files(source_, kSource);
    const auto helper = make_helper();
    helper->_migrateToGlobalConfigFrom(empty, source_);
    EXPECT_FALSE(helper->_fixGlobalConfigPermissions(empty));
    EXPECT_TRUE(sandbox_.tool_calls().empty());
    EXPECT_FALSE(fs::exists(sandbox_.path("/etc/system.conf")));
}

TEST_F(GlobalConfig, TraceFileIsCreatedEmptyOnceKeepsItsContentAndIsWritableForEveryone) {
    sandbox_.link_real_tool("/bin/chmod", "/bin/chmod");
    const std::string path = names_.global_trace_file();
    const auto helper = make_helper();

    helper->_createGlobalTraceIfNeedFor(names_);
    EXPECT_EQ(sandbox_.read_file("/var/log/abc.trace"), "");
    EXPECT_EQ(mode_of(path), 0666u);
    sandbox_.write_file("/var/log/abc.trace", "earlier records\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    helper->_createGlobalTraceIfNeedFor(names_);
    EXPECT_EQ(sandbox_.read_file("/var/log/abc.trace"), "earlier records\n");
    EXPECT_EQ(mode_of(path), 0666u);
    EXPECT_EQ(records("info").size(), 1u) << "created once";

    // A link at the name is not opened to everyone, nor what it points to.
    sandbox_.write_file("/etc/shadow", "");
    fs::permissions(sandbox_.path("/etc/shadow"), fs::perms::owner_read);
    fs::remove(path);
    fs::create_symlink(sandbox_.path("/etc/shadow"), path);
    helper->_createGlobalTraceIfNeedFor(names_);
    EXPECT_EQ(mode_of(sandbox_.path("/etc/shadow")), 0400u);
    EXPECT_TRUE(fs::is_symlink(path));
    ASSERT_EQ(records("error").size(), 1u) << trace();
    restart_trace();

    // The namespace "quorvix" names the helper's own trace file, which only root may open.
    trace_info(helper->trace(), "the helper's trace file is open");
    helper->_createGlobalTraceIfNeedFor(install::namespace_names_t(support::kProductName));
    EXPECT_EQ(mode_of(sandbox_.path("/var/log/quorvix.trace")), 0600u);
    ASSERT_EQ(records("error").size(), 1u) << trace();
    restart_trace();

    // A name longer than any file name may be: an error record, and the mode command still runs.
    const install::namespace_names_t too_long(std::string(300, 'n'));
    sandbox_.install_fake_tool("/bin/chmod");
    helper->_createGlobalTraceIfNeedFor(too_long);
    ASSERT_EQ(records("error").size(), 1u) << trace();
    // The name comes from a client: the record shows it bounded.
    EXPECT_NE(records("error")[0].find(support::client_text_t(too_long.global_trace_file()).c_str()),
              std::string::npos);
    EXPECT_EQ(sandbox_.tool_calls().size(), 1u);
}

}  // namespace
