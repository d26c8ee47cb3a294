#include "platform/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

bool present(const std::string& path) {
    return fs::exists(fs::symlink_status(path));
}

TEST(FileManager, RemovesItemsWithoutEverFollowingALink) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directories(scratch / "target/inner");
    write(scratch / "target/inner/keep", "precious");
    fs::create_directories(scratch / "tree/sub");
    fs::create_symlink(scratch / "target", scratch / "tree/sub/escape");
    fs::create_symlink("nowhere", scratch / "dangling");
    fs::create_symlink("target", scratch / "link");
    EXPECT_TRUE(file_manager::is_directory(scratch / "link") && !file_manager::exists(scratch / "dangling"));
    fs::remove(scratch / "link");
    // A trailing slash must not turn a link into the directory it names.
    for (const std::string name : {"tree", "dangling", "link", "link/", "link//"}) {
        const std::string item = scratch / name.substr(0, name.find('/'));
        if (item.ends_with("link")) {
            fs::create_symlink("target", item);
        }
        const auto result = file_manager::remove_item(scratch / name);
        EXPECT_TRUE(result.ok()) << name << ": " << result.error;
        EXPECT_FALSE(present(item)) << name;
        EXPECT_TRUE(fs::exists(scratch / "target/inner/keep")) << name;
    }
    EXPECT_EQ(file_manager::remove_item(scratch / "missing").error,
              "remove \"" + (scratch / "missing") + "\": No such file or directory");
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
        const auto result = file_manager::create_directory(scratch / c.name, c.with_intermediates);
        EXPECT_EQ(result.ok(), c.succeeds)
            << c.name << " intermediates " << c.with_intermediates << ": " << result.error;
        EXPECT_TRUE(!c.succeeds || fs::is_directory(scratch / c.name)) << c.name;
    }
    EXPECT_EQ(file_manager::create_directory(scratch / "existing", false).error,
              "create directory \"" + (scratch / "existing") + "\": File exists");
}

TEST(FileManager, CreateFileLeavesAnEmptyFileInPlaceOfAnyOther) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "full", "old content");
    write(scratch / "target", "must survive");
    fs::create_symlink("target", scratch / "link");
    for (const char* name : {"new", "full", "link"}) {
        const auto result = file_manager::create_file(scratch / name);
        EXPECT_TRUE(result.ok()) << name << ": " << result.error;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(scratch / name)) && fs::is_empty(scratch / name))
            << name;
    }
    // The link itself was replaced; what it pointed to is untouched.
    EXPECT_EQ(fs::file_size(scratch / "target"), 12u);
    fs::create_directory(scratch / "dir");
    EXPECT_FALSE(file_manager::create_file(scratch / "dir").ok());
    EXPECT_FALSE(file_manager::create_file(scratch / "missing/file").ok());
}

TEST(FileManager, ListsEntryNamesWithoutDotEntries) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "b", "");
    write(scratch / ".hidden", "");
    fs::create_directory(scratch / "a");
    fs::create_symlink("nowhere", scratch / "c");
    EXPECT_EQ(file_manager::list_directory(scratch.path()),
              (std::vector<std::string>{".hidden", "a", "b", "c"}));
    EXPECT_EQ(file_manager::list_directory(scratch / "a"), std::vector<std::string>{});
    EXPECT_FALSE(file_manager::list_directory(scratch / "missing"));
    EXPECT_FALSE(file_manager::list_directory(scratch / "b"));
}

}  // namespace
