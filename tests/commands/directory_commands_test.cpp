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

TEST(WildcardSearch, ListsSubdirectoriesAndLinksButNothingInsideThem) {
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
}

TEST(WildcardSearch, UnreadableOrMissingDirectoryGivesNothing) {
    fixtures::sandbox_t sandbox;
    sandbox.write_file("/Volumes/file", "");
    for (const char* directory : {"/Volumes/missing", "/Volumes/file"}) {
        EXPECT_TRUE(ExternalCommands::resolveFilesInDirectory(sandbox.path(directory), "*").empty())
            << directory;
    }
}

// A shared-memory object made for the test, unlinked at the end if the code under test did not.
class shm_object_t {
public:
    explicit shm_object_t(std::string name) : name_(std::move(name)) {
        const int fd = ::shm_open(name_.c_str(), O_CREAT | O_RDWR, 0600);
        EXPECT_GE(fd, 0) << name_;
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~shm_object_t() { (void)::shm_unlink(name_.c_str()); }
    shm_object_t(const shm_object_t&) = delete;
    shm_object_t& operator=(const shm_object_t&) = delete;

    [[nodiscard]] bool exists() const {
        const int fd = ::shm_open(name_.c_str(), O_RDONLY, 0);
        if (fd < 0) {
            return false;
        }
        ::close(fd);
        return true;
    }

private:
    std::string name_;
};

TEST(SharedMemoryCleanup, DeletesObjectsAndFilesOfVisibleEntriesOnly) {
    fixtures::sandbox_t sandbox;
    const std::string unique = std::to_string(::getpid());
    const std::string visible = "qv_test_" + unique;
    const std::string hidden = ".qv_test_hidden_" + unique;
    shm_object_t visible_object(visible);
    shm_object_t hidden_object(hidden);
    sandbox.write_file("/tmp/qv_shm/qv/" + visible, "");
    sandbox.write_file("/tmp/qv_shm/qv/" + hidden, "");
    sandbox.write_file("/tmp/qv_shm/qv/not_an_object_" + unique, "");
    fs::create_directories(sandbox.path("/tmp/qv_shm/qv/empty_dir"));
    ASSERT_TRUE(visible_object.exists());

    EXPECT_TRUE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm/qv")));

    EXPECT_FALSE(visible_object.exists());
    EXPECT_TRUE(hidden_object.exists());
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(sandbox.path("/tmp/qv_shm/qv"))) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{hidden});
}

TEST(SharedMemoryCleanup, AnswersWhetherTheDirectoryCouldBeOpened) {
    fixtures::sandbox_t sandbox;
    fs::create_directories(sandbox.path("/tmp/qv_shm/empty"));
    EXPECT_TRUE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm/empty")));
    EXPECT_FALSE(ExternalCommands::cleanup_shared_memory(sandbox.path("/tmp/qv_shm/missing")));
}

}  // namespace
