#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/file_manager.h"
#include "scratch_directory.h"

namespace {

namespace fs = std::filesystem;
namespace file_manager = platform::file_manager;

void write(const std::string& path, std::string_view content, mode_t mode) {
    ASSERT_TRUE(platform::write_file_in_place(path, content)) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::string read(const std::string& path) {
    return platform::read_whole_file(path).value_or("<unreadable>");
}

bool set_attribute(const std::string& path, const std::string& name, const std::string& value) {
    return ::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

std::string attribute(const std::string& path, const std::string& name) {
    char value[256];
    const ssize_t size = ::getxattr(path.c_str(), name.c_str(), value, sizeof value);
    return size < 0 ? "<absent>" : std::string(value, static_cast<std::size_t>(size));
}

// A bundle-shaped tree with an executable, a private file, a large file, links and a read-only folder.
void build_bundle(const std::string& root) {
    fs::create_directories(root + "/Contents/MacOS");
    fs::create_directories(root + "/Contents/Resources/Locked");
    write(root + "/Contents/Info.plist", "<plist/>", 0644);
    write(root + "/Contents/MacOS/Quorvix", "#!/bin/sh\n", 0755);
    write(root + "/Contents/Resources/secret", "s", 0600);
    write(root + "/Contents/Resources/Locked/inside", "i", 0444);
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 + i / 4096);
    }
    write(root + "/Contents/Resources/large.bin", large, 0640);
    fs::last_write_time(root + "/Contents/Resources/large.bin",
                        fs::file_time_type(std::chrono::hours(24 * 365 * 40)));
    ASSERT_EQ(::chmod((root + "/Contents/Resources/Locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((root + "/Contents/MacOS").c_str(), 0750), 0);
    fs::create_symlink("MacOS/Quorvix", root + "/Contents/Current");
    fs::create_symlink("/nonexistent/target", root + "/Contents/Dangling");
    fs::last_write_time(root + "/Contents", fs::file_time_type(std::chrono::hours(24 * 365 * 41)));
}

TEST(FileCopy, KeepsBytesModesTimesAndLinksThroughoutATree) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    const std::string to = scratch / "Applications/Quorvix.app";
    build_bundle(from);
    fs::create_directory(scratch / "Applications");

    const auto result = file_manager::copy_item(from, to);
    ASSERT_TRUE(result.ok()) << result.error;

    for (const char* relative :
         {"", "/Contents", "/Contents/MacOS", "/Contents/MacOS/Quorvix", "/Contents/Info.plist",
          "/Contents/Resources/secret", "/Contents/Resources/Locked", "/Contents/Resources/Locked/inside",
          "/Contents/Resources/large.bin"}) {
        EXPECT_EQ(mode_of(to + relative), mode_of(from + relative)) << relative;
        if (fs::is_regular_file(from + relative)) {
            EXPECT_TRUE(read(to + relative) == read(from + relative)) << relative << " differs";
        }
    }
    for (const char* link : {"/Contents/Current", "/Contents/Dangling"}) {
        ASSERT_TRUE(fs::is_symlink(to + link)) << link;
        EXPECT_EQ(fs::read_symlink(to + link), fs::read_symlink(from + link)) << link;
    }
    EXPECT_EQ(fs::last_write_time(to + "/Contents/Resources/large.bin"),
              fs::last_write_time(from + "/Contents/Resources/large.bin"));
    EXPECT_EQ(fs::last_write_time(to + "/Contents"), fs::last_write_time(from + "/Contents"));
    // The link was copied as a link, not as a second copy of the file it names.
    EXPECT_EQ(fs::canonical(to + "/Contents/Current"), fs::canonical(to + "/Contents/MacOS/Quorvix"));
    EXPECT_EQ(read(from + "/Contents/Info.plist"), "<plist/>");
}

TEST(FileCopy, KeepsExtendedAttributesOfFilesAndDirectories) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    build_bundle(from);
    const std::string executable = "/Contents/MacOS/Quorvix";
    if (!set_attribute(from + executable, "user.quarantine", "0081;app") && errno == ENOTSUP) {
        GTEST_SKIP() << "no user extended attributes on " << scratch.path();
    }
    ASSERT_TRUE(set_attribute(from + executable, "user.empty", ""));
    ASSERT_TRUE(set_attribute(from + "/Contents", "user.folder", "marked"));
    ASSERT_TRUE(
        set_attribute(from + "/Contents/Resources/Locked/inside", "user.large", std::string(200, 'v')));

    ASSERT_TRUE(file_manager::copy_item(from, scratch / "copy.app").ok());
    const std::string to = scratch / "copy.app";
    EXPECT_EQ(attribute(to + executable, "user.quarantine"), "0081;app");
    EXPECT_EQ(attribute(to + executable, "user.empty"), "");
    EXPECT_EQ(attribute(to + "/Contents", "user.folder"), "marked");
    EXPECT_EQ(attribute(to + "/Contents/Resources/Locked/inside", "user.large"), std::string(200, 'v'));
    EXPECT_EQ(attribute(to + "/Contents/Info.plist", "user.quarantine"), "<absent>");
}

TEST(FileCopy, RefusesAnExistingTargetAndLeavesItAlone) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "source", "new", 0644);
    write(scratch / "file", "old", 0644);
    fs::create_directory(scratch / "dir");
    fs::create_symlink("nowhere", scratch / "dangling");

    for (const char* target : {"file", "dir", "dangling", "file/"}) {
        const auto result = file_manager::copy_item(scratch / "source", scratch / target);
        EXPECT_FALSE(result.ok()) << target;
        EXPECT_NE(result.error.find("File exists"), std::string::npos) << result.error;
    }
    EXPECT_EQ(read(scratch / "file"), "old");
    EXPECT_TRUE(fs::is_empty(scratch / "dir"));
    EXPECT_EQ(fs::read_symlink(scratch / "dangling"), "nowhere");
}

TEST(FileCopy, RefusesMissingSourcesAndCopiesIntoItself) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directories(scratch / "tree/sub");

    const auto missing = file_manager::copy_item(scratch / "missing", scratch / "copy");
    EXPECT_EQ(missing.error, "copy \"" + (scratch / "missing") + "\": No such file or directory");
    EXPECT_FALSE(fs::exists(scratch / "copy"));

    for (const char* target : {"tree/sub/copy", "tree/copy"}) {
        EXPECT_FALSE(file_manager::copy_item(scratch / "tree", scratch / target).ok()) << target;
        EXPECT_FALSE(fs::exists(scratch / target)) << target;
    }
    // A sibling whose name merely starts with the source's name is not inside it.
    EXPECT_TRUE(file_manager::copy_item(scratch / "tree", scratch / "tree-copy").ok());
}

TEST(FileCopy, LinkCopiesTheLinkNotItsTarget) {
    const platform_test::scratch_directory_t scratch;
    fs::create_directories(scratch / "target");
    fs::create_symlink("target", scratch / "link");
    ASSERT_TRUE(file_manager::copy_item(scratch / "link", scratch / "copy").ok());
    EXPECT_TRUE(fs::is_symlink(scratch / "copy"));
    EXPECT_EQ(fs::read_symlink(scratch / "copy"), "target");
}

// A small file system mounted for one test; unmounted (lazily, so nothing can keep it busy) afterwards.
class small_mount_t {
  public:
    small_mount_t(std::string path, const char* options) : path_(std::move(path)) {
        fs::create_directory(path_);
        mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options) == 0;
    }
    ~small_mount_t() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    small_mount_t(const small_mount_t&) = delete;
    small_mount_t& operator=(const small_mount_t&) = delete;
    [[nodiscard]] bool mounted() const { return mounted_; }
    void make_read_only() {
        mounted_ = ::mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST(FileCopy, FailureOnTheTargetFileSystemIsReportedAndCleanedUp) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    build_bundle(from);

    struct target_case_t {
        const char* name;
        const char* options;
        bool read_only;
        const char* error_text;
    };
    const target_case_t cases[] = {
        {"full", "size=64k", false, "No space left on device"},
        {"read-only", "size=1m", true, "Read-only file system"},
    };
    for (const auto& c : cases) {
        small_mount_t mount(scratch / c.name, c.options);
        if (!mount.mounted()) {
            GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
        }
        if (c.read_only) {
            mount.make_read_only();
        }
        const std::string to = scratch / c.name + "/Quorvix.app";
        const auto result = file_manager::copy_item(from, to);
        EXPECT_FALSE(result.ok()) << c.name;
        EXPECT_NE(result.error.find(c.error_text), std::string::npos) << c.name << ": " << result.error;
        EXPECT_NE(result.error.find(to), std::string::npos) << c.name << ": " << result.error;
        EXPECT_FALSE(fs::exists(fs::symlink_status(to))) << c.name << ": a partial copy was left behind";
    }
}

}  // namespace
