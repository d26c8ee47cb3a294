#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

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

std::optional<std::string> contents(const std::string& path) {
    return platform::read_whole_file(path, 256 << 20);
}

fs::perms mode_of(const std::string& path) {
    return fs::symlink_status(path).permissions();
}

std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? "<absent>" : std::string(value, static_cast<std::size_t>(size));
}

// A bundle-shaped tree: an executable, a private file, a file larger than one copy chunk, links and a
// read-only folder.
void build_bundle(const std::string& root) {
    fs::create_directories(root + "/Contents/MacOS");
    fs::create_directories(root + "/Contents/Resources/Locked");
    write(root + "/Contents/MacOS/Quorvix", "#!/bin/sh\n", 0755);
    write(root + "/Contents/Resources/secret", "s", 0600);
    write(root + "/Contents/Resources/Locked/inside", "i", 0444);
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 + i / 4096);
    }
    write(root + "/Contents/Resources/large.bin", large, 0640);
    fs::last_write_time(root + "/Contents/Resources/large.bin",
                        fs::file_time_type(std::chrono::hours(350000)));
    ASSERT_EQ(::chmod((root + "/Contents/Resources/Locked").c_str(), 0555), 0);
    fs::create_symlink("MacOS/Quorvix", root + "/Contents/Current");
    fs::create_symlink("/nonexistent/target", root + "/Contents/Dangling");
}

TEST(FileCopy, KeepsBytesModesTimesLinksAndAttributesThroughoutATree) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    const std::string to = scratch / "copy.app";
    build_bundle(from);
    const bool attributes =
        ::setxattr((from + "/Contents/MacOS/Quorvix").c_str(), "user.quarantine", "0081", 4, 0) == 0 &&
        ::setxattr((from + "/Contents").c_str(), "user.folder", "", 0, 0) == 0;

    const auto result = file_manager::copy_item(from, to);
    ASSERT_TRUE(result.ok()) << result.error;
    for (const char* relative :
         {"", "/Contents/MacOS/Quorvix", "/Contents/Resources/secret", "/Contents/Resources/Locked",
          "/Contents/Resources/Locked/inside", "/Contents/Resources/large.bin"}) {
        EXPECT_EQ(mode_of(to + relative), mode_of(from + relative)) << relative;
        if (fs::is_regular_file(from + relative)) {
            EXPECT_TRUE(contents(to + relative) == contents(from + relative)) << relative << " differs";
            EXPECT_EQ(fs::last_write_time(to + relative), fs::last_write_time(from + relative)) << relative;
        }
    }
    for (const char* link : {"/Contents/Current", "/Contents/Dangling"}) {
        EXPECT_TRUE(fs::is_symlink(to + link) && fs::read_symlink(to + link) == fs::read_symlink(from + link))
            << link;
    }
    if (attributes) {
        EXPECT_EQ(attribute(to + "/Contents/MacOS/Quorvix", "user.quarantine"), "0081");
        EXPECT_EQ(attribute(to + "/Contents", "user.folder"), "");
        EXPECT_EQ(attribute(to + "/Contents/Resources/secret", "user.quarantine"), "<absent>");
    }
}

// An access list granting user `who` everything: what a system.posix_acl_access attribute holds.
std::string access_list_for(std::uint32_t who) {
    std::string bytes;
    const auto put = [&](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xff);
        }
    };
    put(2, 4);  // version
    for (const auto& [tag, permissions, id] :
         {std::tuple{0x01u, 7u, 0xffffffffu}, std::tuple{0x02u, 7u, who}, std::tuple{0x04u, 5u, 0xffffffffu},
          std::tuple{0x10u, 7u, 0xffffffffu}, std::tuple{0x20u, 5u, 0xffffffffu}}) {
        put(tag, 2);
        put(permissions, 2);
        put(id, 4);
    }
    return bytes;
}

// The copy is root's, the source anybody's: no set-id bit, no write permission for others, and no
// attribute outside the user namespace (a file capability, a trusted attribute, an access list) reaches
// the copy. One case per condition.
TEST(FileCopy, NeverHandsTheCopyMoreThanTheSourceHad) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    const std::string to = scratch / "copy.app";
    fs::create_directories(from + "/Contents");
    const struct {
        const char* name;
        bool directory;
        mode_t mode;
        mode_t copied;
    } modes[] = {
        {"set-user-id", false, 04755, 0755},     {"set-group-id", false, 02755, 0755},
        {"group write", false, 0775, 0755},      {"other write", false, 0757, 0755},
        {"shared directory", true, 02777, 0755},
    };
    for (const auto& m : modes) {
        const std::string item = from + "/Contents/" + m.name;
        if (m.directory) {
            fs::create_directory(item);
        } else {
            write(item, "#!/bin/sh\n", 0644);
        }
        ASSERT_EQ(::chmod(item.c_str(), m.mode), 0) << m.name;
    }
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_SETUID;
    const std::string access_list = access_list_for(65534);
    const struct {
        const char* name;
        std::string value;
        bool kept;
    } attributes[] = {
        {"user.qv", "u", true},
        {"security.capability", std::string(reinterpret_cast<const char*>(&capability), sizeof capability),
         false},
        {"trusted.qv", "t", false},
        {"system.posix_acl_access", access_list, false},
    };
    const std::string tool = from + "/Contents/attributes";
    write(tool, "a", 0644);
    for (const auto& a : attributes) {
        ASSERT_EQ(::setxattr(tool.c_str(), a.name, a.value.data(), a.value.size(), 0), 0)
            << a.name << ": " << std::strerror(errno);
    }

    const auto result = file_manager::copy_item(from, to);
    ASSERT_TRUE(result.ok()) << result.error;

    for (const auto& m : modes) {
        struct stat info {};
        ASSERT_EQ(::lstat((to + "/Contents/" + m.name).c_str(), &info), 0) << m.name;
        EXPECT_EQ(info.st_mode & 07777, m.copied) << m.name;
    }
    for (const auto& a : attributes) {
        EXPECT_EQ(attribute(to + "/Contents/attributes", a.name) != "<absent>", a.kept) << a.name;
    }
}

// A directory of the source that is swapped for a link while the copy reads a file inside it: the copy
// goes on with the directory it opened and never takes a file through the link.
TEST(FileCopy, ADirectorySwappedForALinkDuringTheCopyIsNeverFollowed) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    const std::string to = scratch / "copy.app";
    fs::create_directories(from + "/Contents");
    write(from + "/Contents/a.bin", std::string(64 << 20, 'a'), 0644);
    write(from + "/Contents/b", "the bundle's own", 0644);
    fs::create_directories(scratch / "private");
    write(scratch / "private/b", "root's secret", 0600);
    const int events = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(events, 0);
    ASSERT_GE(::inotify_add_watch(events, (from + "/Contents").c_str(), IN_OPEN), 0);
    // Swaps Contents for a link to the private directory as soon as the copy opens a.bin.
    std::thread swapper([&] {
        alignas(inotify_event) char buffer[4096];
        for (bool seen = false; !seen;) {
            pollfd ready{events, POLLIN, 0};
            if (::poll(&ready, 1, 10000) != 1) {
                return;
            }
            const ssize_t length = ::read(events, buffer, sizeof buffer);
            if (length <= 0) {
                return;
            }
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                seen = seen || (event->len > 0 && std::string_view(event->name) == "a.bin");
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        fs::rename(from + "/Contents", from + "/Moved");
        fs::create_directory_symlink(scratch / "private", from + "/Contents");
    });

    const auto result = file_manager::copy_item(from, to);
    swapper.join();
    ::close(events);

    ASSERT_TRUE(fs::is_symlink(from + "/Contents")) << "the swap did not happen";
    EXPECT_NE(contents(to + "/Contents/b"), "root's secret");
    if (result.ok()) {
        EXPECT_EQ(contents(to + "/Contents/b"), "the bundle's own");
    }
}

TEST(FileCopy, RefusesExistingTargetsMissingSourcesAndCopiesIntoItself) {
    const platform_test::scratch_directory_t scratch;
    write(scratch / "file", "old", 0644);
    fs::create_directories(scratch / "tree/sub");
    fs::create_symlink("nowhere", scratch / "dangling");
    std::string deep = scratch / "deep";
    for (std::size_t level = 0; level <= file_manager::kMaxTreeDepth; ++level) {
        deep += "/d";
    }
    fs::create_directories(deep);
    struct refusal_case_t {
        const char* from;
        const char* to;
        const char* error_text;
    };
    const refusal_case_t cases[] = {
        {"file", "tree", "File exists"},
        {"tree", "file/", "File exists"},
        {"file", "dangling", "File exists"},
        {"missing", "copy", "No such file or directory"},
        {"tree", "tree/sub/copy", "Invalid argument"},
        {"tree", "tree/copy", "Invalid argument"},
        {"deep", "deep-copy", "deeper than the copy goes"},
    };
    for (const auto& c : cases) {
        const auto result = file_manager::copy_item(scratch / c.from, scratch / c.to);
        EXPECT_NE(result.error.find(c.error_text), std::string::npos)
            << c.from << " -> " << c.to << ": " << result.error;
    }
    EXPECT_EQ(contents(scratch / "file"), "old");
    EXPECT_EQ(fs::read_symlink(scratch / "dangling"), "nowhere");
    EXPECT_FALSE(fs::exists(scratch / "tree/copy") || fs::exists(scratch / "tree/sub/copy") ||
                 fs::exists(scratch / "copy") || fs::exists(scratch / "deep-copy"));
    // A sibling whose name merely starts with the source's name is not inside it.
    EXPECT_TRUE(file_manager::copy_item(scratch / "tree", scratch / "tree-copy").ok());
}

TEST(FileCopy, FailureOnTheTargetFileSystemIsReportedAndLeavesNothing) {
    const platform_test::scratch_directory_t scratch;
    const std::string from = scratch / "Quorvix.app";
    build_bundle(from);
    struct target_case_t {
        const char* name;
        const char* options;
        const char* error_text;
    };
    for (const auto& c : {target_case_t{"full", "size=64k", "No space left on device"},
                          target_case_t{"read-only", "ro,size=1m", "Read-only file system"}}) {
        fs::create_directory(scratch / c.name);
        if (::mount("tmpfs", (scratch / c.name).c_str(), "tmpfs", 0, c.options) != 0) {
            GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
        }
        const std::string to = scratch / c.name + "/Quorvix.app";
        const auto result = file_manager::copy_item(from, to);
        EXPECT_FALSE(result.ok()) << c.name;
        EXPECT_NE(result.error.find(c.error_text), std::string::npos) << c.name << ": " << result.error;
        EXPECT_NE(result.error.find(to), std::string::npos) << c.name << ": " << result.error;
        EXPECT_FALSE(fs::exists(fs::symlink_status(to))) << c.name << ": a partial copy was left behind";
        ::umount2((scratch / c.name).c_str(), MNT_DETACH);
    }
}

}  // namespace
