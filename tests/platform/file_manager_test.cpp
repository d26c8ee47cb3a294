#include "platform/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "scratch_directory.h"

namespace {

namespace fs = std::filesystem;
namespace file_manager = platform::file_manager;

void write(const std::string& path, std::string_view content) {
    ASSERT_TRUE(platform::write_file_in_place(path, content)) << path;
}

TEST(FileManager, ExistenceFollowsLinks) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "file", "x");
    fs::create_directory(scratch / "dir");
    fs::create_symlink("dir", scratch / "to-dir");
    fs::create_symlink("nowhere", scratch / "dangling");

    struct existence_case_t {
        const char* name;
        bool exists;
        bool directory;
    };
    const existence_case_t cases[] = {
        {"file", true, false},      {"dir", true, true},       {"to-dir", true, true},
        {"dangling", false, false}, {"missing", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file_manager::exists(scratch / c.name), c.exists) << c.name;
        EXPECT_EQ(file_manager::is_directory(scratch / c.name), c.directory) << c.name;
    }
}

TEST(FileManager, RemovesFilesTreesAndDanglingLinks) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "file", "x");
    fs::create_directories(scratch / "tree/a/b");
    write(scratch / "tree/a/b/leaf", "x");
    fs::create_symlink("nowhere", scratch / "dangling");

    for (const char* name : {"file", "tree", "dangling"}) {
        const auto result = file_manager::remove_item(scratch / name);
        EXPECT_TRUE(result.ok()) << name << ": " << result.error;
        EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / name))) << name;
    }
}

TEST(FileManager, RemovingAMissingItemIsADescribedFailure) {
    const platform_test::scratch_directory_t scratch;
    const std::string path = scratch / "missing";
    const auto result = file_manager::remove_item(path);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, "remove \"" + path + "\": No such file or directory");
}

TEST(FileManager, RemovingALinkToADirectoryKeepsTheDirectory) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directories(scratch / "target/inner");
    write(scratch / "target/inner/keep", "precious");
    // A trailing slash must not turn the link into the directory it names.
    for (const char* spelling : {"link", "link/", "link//"}) {
        fs::create_symlink("target", scratch / "link");
        const auto result = file_manager::remove_item(scratch / spelling);
        EXPECT_TRUE(result.ok()) << spelling << ": " << result.error;
        EXPECT_FALSE(fs::exists(fs::symlink_status(scratch / "link"))) << spelling;
        EXPECT_TRUE(fs::exists(scratch / "target/inner/keep")) << spelling;
    }
}

TEST(FileManager, RemovingATreeNeverFollowsLinksInside) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directories(scratch / "outside");
    write(scratch / "outside/keep", "precious");
    fs::create_directories(scratch / "tree/sub");
    fs::create_directory_symlink(scratch / "outside", scratch / "tree/sub/escape");
    ASSERT_TRUE(file_manager::remove_item(scratch / "tree").ok());
    EXPECT_FALSE(fs::exists(scratch / "tree"));
    EXPECT_TRUE(fs::exists(scratch / "outside/keep"));
}

TEST(FileManager, CreatesDirectoriesWithAndWithoutIntermediates) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directory(scratch / "existing");
    write(scratch / "file", "x");
    fs::create_directory_symlink(scratch / "existing", scratch / "link-to-dir");

    struct directory_case_t {
        const char* name;
        bool with_intermediates;
        bool succeeds;
    };
    const directory_case_t cases[] = {
        {"new", false, true},
        {"existing", false, false},
        {"missing/child", false, false},
        {"file", false, false},
        {"deep/er/still/", true, true},
        {"existing", true, true},
        {"link-to-dir/child", true, true},
        {"file", true, false},
        {"file/child", true, false},
    };
    for (const auto& c : cases) {
        const std::string path = scratch / c.name;
        const auto result = file_manager::create_directory(path, c.with_intermediates);
        EXPECT_EQ(result.ok(), c.succeeds)
            << c.name << " intermediates " << c.with_intermediates << ": " << result.error;
        if (c.succeeds) {
            EXPECT_TRUE(fs::is_directory(path)) << c.name;
        } else {
            EXPECT_NE(result.error.find(scratch.path()), std::string::npos) << result.error;
        }
    }
    EXPECT_EQ(file_manager::create_directory(scratch / "existing", false).error,
              "create directory \"" + (scratch / "existing") + "\": File exists");
}

TEST(FileManager, CreateFileLeavesAnEmptyFile) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "full", "old content");
    ASSERT_EQ(::chmod((scratch / "full").c_str(), 0600), 0);
    write(scratch / "target", "must survive");
    fs::create_symlink("target", scratch / "link");

    for (const char* name : {"new", "full", "link"}) {
        const auto result = file_manager::create_file(scratch / name);
        EXPECT_TRUE(result.ok()) << name << ": " << result.error;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(scratch / name))) << name;
        EXPECT_EQ(fs::file_size(scratch / name), 0u) << name;
    }
    EXPECT_EQ(fs::status(scratch / "full").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // The link itself was replaced; what it pointed to is untouched.
    EXPECT_EQ(fs::file_size(scratch / "target"), 12u);

    EXPECT_FALSE(file_manager::create_file(scratch / "missing/file").ok());
    fs::create_directory(scratch / "dir");
    EXPECT_FALSE(file_manager::create_file(scratch / "dir").ok());
    EXPECT_TRUE(fs::is_directory(scratch / "dir"));
}

TEST(FileManager, ListsEntryNamesWithoutDotEntries) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directory(scratch / "list");
    write(scratch / "list/b", "");
    write(scratch / "list/.hidden", "");
    fs::create_directory(scratch / "list/a");
    fs::create_symlink("nowhere", scratch / "list/c");

    const auto names = file_manager::list_directory(scratch / "list");
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{".hidden", "a", "b", "c"}));

    fs::create_directory(scratch / "empty");
    EXPECT_EQ(file_manager::list_directory(scratch / "empty"), std::vector<std::string>{});
    EXPECT_FALSE(file_manager::list_directory(scratch / "missing"));
    EXPECT_FALSE(file_manager::list_directory(scratch / "list/b"));
}

}  // namespace
