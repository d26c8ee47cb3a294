// Wildcard search of one directory and the deletion of shared-memory objects named by its entries.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/external_commands.h"
#include "fixtures/sandbox.h"

namespace {

namespace fs = std::filesystem;
using commands::ExternalCommands;

struct wildcard_case_t {
    const char* wildcard;
    std::vector<std::string> entries;
    std::vector<std::string> expected;
};

std::vector<std::string> sorted(std::vector<std::string> values) {
    std::sort(values.begin(), values.end());
    return values;
}

TEST(WildcardSearch, MatchesWholeNamesWithDotsLiteralAndOtherSyntaxLive) {
    const wildcard_case_t cases[] = {
        {"Quorvix*",
         {"Quorvix", "Quorvix 2", "quorvix.app", "My Quorvix", ".Quorvix"},
         {"Quorvix", "Quorvix 2", "quorvix.app"}},
        {"x?z", {"xyz", "x.z", "xz", "xyyz"}, {"x.z", "xyz"}},
        {"x.z", {"xyz", "x.z", "XAZ"}, {"x.z"}},
        {"v+1.txt", {"vv1.txt", "v1.txt", "v+1.txt", "vv1xtxt"}, {"v1.txt", "vv1.txt"}},
        {"com.trellwick.quorvix*.service.plist",
         {"com.trellwick.quorvix_a.service.plist", "com.trellwick.quorvix.service.plist",
          "comXtrellwick.quorvix.service.plist", "com.trellwick.quorvix_a.service.plist.bak"},
         {"com.trellwick.quorvix.service.plist", "com.trellwick.quorvix_a.service.plist"}},
        {"COM.trellwick.*.PLIST",
         {"com.trellwick.a.plist", "com.trellwick.plist", "com.trellwick.a.plist2"},
         {"com.trellwick.a.plist"}},
        {"ab?", {"AbC", "ab", "abcd"}, {"AbC"}},
        {"*", {".hidden", "plain"}, {".hidden", "plain"}},
        {"[", {"[", "a"}, {}},
        {"a(b", {"a(b"}, {}},
    };
    for (const auto& c : cases) {
        fixtures::sandbox_t sandbox;
        for (const auto& entry : c.entries) {
            sandbox.write_file("/Volumes/" + entry, "");
        }
        std::vector<std::string> expected;
        for (const auto& name : c.expected) {
            expected.push_back(sandbox.path("/Volumes/" + name));
        }
        EXPECT_EQ(sorted(ExternalCommands::resolveFilesInDirectory(sandbox.path("/Volumes"), c.wildcard)),
                  expected)
            << c.wildcard;
    }
}

TEST(WildcardSearch, ListsOnlyTheDirectorysOwnEntriesAndNothingForAMissingOne) {
    fixtures::sandbox_t sandbox;
    sandbox.write_file("/Library/LaunchAgents/com.trellwick.a.d/com.trellwick.inner.plist", "");
    sandbox.write_file("/Library/LaunchAgents/com.trellwick.b.plist", "");
    fs::create_symlink(sandbox.path("/Library/LaunchAgents/com.trellwick.a.d"),
                       sandbox.path("/Library/LaunchAgents/com.trellwick.link"));
    const std::string agents = sandbox.path("/Library/LaunchAgents");
    const std::vector<std::string> expected = {
        agents + "/com.trellwick.a.d", agents + "/com.trellwick.b.plist", agents + "/com.trellwick.link"};
    // One separator whether or not the directory ends in "/".
    for (const std::string& directory : {agents, agents + "/"}) {
        EXPECT_EQ(sorted(ExternalCommands::resolveFilesInDirectory(directory, "com.trellwick.*")), expected)
            << directory;
    }
    for (const char* missing :
         {"/Library/LaunchAgents/missing", "/Library/LaunchAgents/com.trellwick.b.plist"}) {
        EXPECT_TRUE(ExternalCommands::resolveFilesInDirectory(sandbox.path(missing), "*").empty()) << missing;
    }
}

bool shm_exists(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    return fd >= 0 && ::close(fd) == 0;
}

TEST(SharedMemoryCleanup, DeletesObjectsAndFilesOfVisibleEntriesOnly) {
    fixtures::sandbox_t sandbox;
    const std::string unique = std::to_string(::getpid());
    const std::string visible = "qv_test_" + unique;
    const std::string hidden = ".qv_test_" + unique;
    for (const auto& name : {visible, hidden}) {
        ::close(::shm_open(name.c_str(), O_CREAT | O_RDWR, 0600));
        sandbox.write_file("/tmp/qv_shm/qv/" + name, "");
    }
    sandbox.write_file("/tmp/qv_shm/qv/not_an_object", "");
    fs::create_directories(sandbox.path("/tmp/qv_shm/qv/empty_dir"));
    ASSERT_TRUE(shm_exists(visible));

    EXPECT_TRUE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm"), "qv"));

    EXPECT_FALSE(shm_exists(visible));
    EXPECT_TRUE(shm_exists(hidden));
    (void)::shm_unlink(hidden.c_str());
    EXPECT_EQ(ExternalCommands::resolveFilesInDirectory(sandbox.path("/tmp/qv_shm/qv"), "*"),
              std::vector<std::string>{sandbox.path("/tmp/qv_shm/qv/" + hidden)});
}

TEST(SharedMemoryCleanup, AnswersWhetherTheDirectoryCouldBeOpened) {
    fixtures::sandbox_t sandbox;
    fs::create_directories(sandbox.path("/tmp/qv_shm/empty"));
    EXPECT_TRUE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm"), "empty"));
    EXPECT_FALSE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm"), "missing"));
}

}  // namespace
