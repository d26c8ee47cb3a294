#include "support/trace_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

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

TEST_F(TraceDirectory, AbortsWhenNoTraceDirectoryCanBeMade) {
    {
        FILE* file = std::fopen(scratch("plain-file").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    EXPECT_DEATH(static_cast<void>(support::choose_trace_directory((scratch("missing") + "/").c_str(),
                                                                   scratch("plain-file").c_str())),
                 "");

    // A planted link must not lead a root process into a directory of someone else's choosing.
    fs::create_directories(scratch("elsewhere"));
    fs::create_directories(scratch("base"));
    fs::create_directory_symlink(scratch("elsewhere"), scratch("base") + "/.quorvix");
    EXPECT_DEATH(static_cast<void>(support::choose_trace_directory((scratch("missing") + "/").c_str(),
                                                                   scratch("base").c_str())),
                 "");
    EXPECT_FALSE(fs::exists(scratch("elsewhere") + "/.quorvix.trace"));
    // Nor into one another user prepared.
    if (geteuid() == 0) {
        fs::create_directories(scratch("shared") + "/.quorvix");
        ASSERT_EQ(chown((scratch("shared") + "/.quorvix").c_str(), 65534, 65534), 0);
        EXPECT_DEATH(static_cast<void>(support::choose_trace_directory((scratch("missing") + "/").c_str(),
                                                                       scratch("shared").c_str())),
                     "");
    }
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
