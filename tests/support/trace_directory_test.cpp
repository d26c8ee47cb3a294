#include "support/trace_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/sandbox.h"
#include "platform/console_user.h"

namespace {

namespace fs = std::filesystem;

class TraceDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qv-tracedir-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
        const char* home = std::getenv("HOME");
        saved_home_ = home == nullptr ? std::string() : home;
        had_home_ = home != nullptr;
    }
    void TearDown() override {
        if (had_home_) {
            setenv("HOME", saved_home_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }
    [[nodiscard]] std::string scratch(const std::string& name) const { return (scratch_ / name).string(); }

private:
    fs::path scratch_;
    std::string saved_home_;
    bool had_home_ = false;
};

TEST_F(TraceDirectory, PrefersLogDirectoryThenHomeThenHomeVariable) {
    fs::create_directories(scratch("log"));
    fs::create_directories(scratch("home"));
    fs::create_directories(scratch("env"));
    struct choice_case_t {
        std::string log_directory;
        std::string home;
        std::string home_variable;
        std::string expected;
        std::string probed_file;
    };
    const choice_case_t cases[] = {
        {scratch("log") + "/", scratch("home"), scratch("env"), scratch("log") + "/",
         scratch("log") + "/quorvix.trace"},
        {scratch("missing") + "/", scratch("home"), scratch("env"), scratch("home") + "/.quorvix",
         scratch("home") + "/.quorvix/.quorvix.trace"},
        {scratch("missing") + "/", "", scratch("env"), scratch("env") + "/.quorvix",
         scratch("env") + "/.quorvix/.quorvix.trace"},
    };
    for (const auto& c : cases) {
        setenv("HOME", c.home_variable.c_str(), 1);
        const support::string_t chosen =
            support::choose_trace_directory(c.log_directory.c_str(), c.home.c_str());
        EXPECT_EQ(chosen.view(), c.expected);
        EXPECT_TRUE(fs::is_regular_file(c.probed_file)) << c.probed_file;
    }
    // A second choice accepts the directory the first one made.
    EXPECT_EQ(
        support::choose_trace_directory((scratch("missing") + "/").c_str(), scratch("home").c_str()).view(),
        scratch("home") + "/.quorvix");
}

TEST_F(TraceDirectory, PassesOverUnusablePlacesWithoutFollowingLinksAndAbortsWhenNoneIsLeft) {
    // Planted links point here; the file must keep its content and mode.
    const std::string target = scratch("target");
    std::ofstream(target) << "not a trace\n";
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    fs::create_directories(scratch("log"));
    fs::create_symlink(target, scratch("log") + "/quorvix.trace");
    std::ofstream(scratch("plain-file")) << "";
    fs::create_directories(scratch("elsewhere"));
    fs::create_directories(scratch("linked-dir"));
    fs::create_directory_symlink(scratch("elsewhere"), scratch("linked-dir") + "/.quorvix");
    fs::create_directories(scratch("linked-file") + "/.quorvix");
    fs::create_symlink(target, scratch("linked-file") + "/.quorvix/.quorvix.trace");
    fs::create_directories(scratch("dangling") + "/.quorvix");
    fs::create_symlink(scratch("created-through-link"), scratch("dangling") + "/.quorvix/.quorvix.trace");
    std::vector<std::string> unusable = {scratch("plain-file"), scratch("linked-dir"), scratch("linked-file"),
                                         scratch("dangling")};
    // Another user's directory, as root finds the console user's.
    if (geteuid() == 0) {
        fs::create_directories(scratch("other-user") + "/.quorvix");
        ASSERT_EQ(chown((scratch("other-user") + "/.quorvix").c_str(), 65534, 65534), 0);
        unusable.push_back(scratch("other-user"));
    }

    fs::create_directories(scratch("last"));
    for (std::size_t i = 0; i < unusable.size(); ++i) {
        setenv("HOME", unusable[(i + 1) % unusable.size()].c_str(), 1);
        EXPECT_EQ(support::choose_trace_directory((scratch("log") + "/").c_str(), unusable[i].c_str(),
                                                  scratch("last").c_str())
                      .view(),
                  scratch("last") + "/.quorvix")
            << unusable[i];
    }
    EXPECT_EQ(fixtures::read_text_file(target), "not a trace\n");
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U) << "the link's target was opened";
    EXPECT_TRUE(fs::is_empty(scratch("elsewhere")));
    EXPECT_FALSE(fs::exists(scratch("created-through-link")));
    EXPECT_FALSE(fs::exists(scratch("other-user") + "/.quorvix/.quorvix.trace"));

    EXPECT_DEATH(static_cast<void>(support::choose_trace_directory((scratch("log") + "/").c_str(),
                                                                   unusable[0].c_str(), unusable[1].c_str())),
                 "");
}

TEST_F(TraceDirectory, FilePathLiesInSystemLogDirectoryUnderRoot) {
    fixtures::sandbox_t sandbox;
    EXPECT_EQ(support::trace_file_path("quorvix.trace").view(), sandbox.root() + "/var/log//quorvix.trace");
    EXPECT_TRUE(fs::is_regular_file(sandbox.path("/var/log/quorvix.trace")));
    EXPECT_EQ(support::trace_file_path("").view(), sandbox.root() + "/var/log/");
}

TEST(ConsoleUser, UnknownWithoutActiveSessionAndRootGetsNoHome) {
    if (platform::console_user_name().has_value()) {
        GTEST_SKIP() << "a console session is active on this machine";
    }
    EXPECT_EQ(support::console_user().view(), "<unknown>");
    if (getuid() == 0) {
        EXPECT_TRUE(support::user_home_directory().empty());
    }
}

}  // namespace
