// Recursive copy for the file manager: links stay links, and modes, times and user attributes travel with
// each item. The source may lie where other users can write, so it is walked from opened directories and
// never through a link. A copy that fails part way removes what it created, so no half-copied bundle is
// left behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_error.h"
#include "platform/file_io.h"
#include "platform/file_manager.h"
#include "platform/owned_fd.h"
#include "platform/user_files.h"

namespace platform::file_manager {
namespace {

constexpr std::size_t kChunk = 1 << 20;

// Reads a variable-size answer (attribute names or values) with the usual
// "ask for the size, then fetch, retry if it grew" protocol.
std::optional<std::vector<char>> fetch_sized(const std::function<ssize_t(char*, std::size_t)>& query) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = query(nullptr, 0);
        if (size < 0) {
            return std::nullopt;
        }
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
        const ssize_t got = query(buffer.data(), buffer.size());
        if (got >= 0 && static_cast<std::size_t>(got) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
        if (got < 0 && errno != ERANGE) {
            return std::nullopt;
        }
    }
    errno = ERANGE;
    return std::nullopt;
}

// Only the user's own attributes travel: security.* (file capabilities, labels), trusted.* and system.*
// (access lists) would give the root-owned copy powers that the source's owner could not grant.
bool copied_attribute(std::string_view name) {
    return name.starts_with("user.");
}

// The user attributes of a file or directory. A file system without attribute support on either side is no
// failure, and neither is an attribute that vanished meanwhile.
file_result_t copy_attributes(int from, int to, const std::string& to_path) {
    const auto names =
        fetch_sized([from](char* buffer, std::size_t size) { return ::flistxattr(from, buffer, size); });
    if (!names) {
        return errno == ENOTSUP ? file_result_t{} : failure("copy extended attributes to", to_path, errno);
    }
    for (std::size_t start = 0; start < names->size();) {
        const char* name = names->data() + start;
        start += std::char_traits<char>::length(name) + 1;
        if (!copied_attribute(name)) {
            continue;
        }
        const auto value = fetch_sized(
            [&](char* buffer, std::size_t size) { return ::fgetxattr(from, name, buffer, size); });
        if (!value) {
            if (errno == ENODATA || errno == ENOTSUP) {
                continue;
            }
            return failure("copy extended attributes to", to_path, errno);
        }
        if (::fsetxattr(to, name, value->data(), value->size(), 0) != 0 && errno != ENOTSUP) {
            return failure("copy extended attributes to", to_path, errno);
        }
    }
    return {};
}

// copy_file_range lets the kernel move the bytes (or share extents); plain read and write take over
// where it is not available between these two file systems. At most `size` bytes, the size the file had
// when it was opened: a file that another process keeps growing does not keep the copy going.
file_result_t copy_bytes(int in, int out, off_t size, const std::string& from, const std::string& to) {
    bool kernel_copy = true;
    std::vector<char> buffer;
    for (off_t left = size; left > 0;) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<off_t>(left, kChunk));
        if (kernel_copy) {
            const ssize_t count = ::copy_file_range(in, nullptr, out, nullptr, wanted, 0);
            if (count > 0) {
                left -= count;
                continue;
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
                errno != EBADF) {
                return failure("copy", to, errno);
            }
            // Some file systems report nothing copied instead of an error; let read decide.
            kernel_copy = false;
            buffer.resize(kChunk);
        }
        const ssize_t count = ::read(in, buffer.data(), wanted);
        if (count == 0) {
            return {};
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failure("copy", from, errno);
        }
        if (!write_all(out, std::string_view(buffer.data(), static_cast<std::size_t>(count)))) {
            return failure("copy", to, errno);
        }
        left -= count;
    }
    return {};
}

bool keep_times(int fd, const struct stat& info) {
    const timespec times[2] = {info.st_atim, info.st_mtim};
    return ::futimens(fd, times) == 0;
}

// The mode a copy ends with. The source's owner cannot hand root's copy a set-id bit, and nobody else may
// write into it: the install and the migration give their copies their final modes afterwards.
mode_t copied_mode(const struct stat& info) {
    return info.st_mode & 07777 & ~(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);
}

// One item of the source, named by `name` relative to the descriptor `parent` (AT_FDCWD for the top),
// looked at without following a link. The descriptor pins what was looked at.
struct source_item_t {
    owned_fd_t handle;
    struct stat info {};
};

std::optional<source_item_t> look_at(int parent, const char* name) {
    source_item_t item{owned_fd_t(::openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)), {}};
    if (!item.handle.valid() || ::fstat(item.handle.get(), &item.info) != 0) {
        return std::nullopt;
    }
    return item;
}

// Opens for reading what `look_at` pinned, through its descriptor: the item opened is the item looked
// at, whatever now lies at its name. `opened_info` tells its size at the open.
owned_fd_t open_for_reading(const source_item_t& item, int flags, struct stat& opened_info) {
    owned_fd_t opened = reopen_for_reading(item.handle.get(), flags);
    if (opened.valid() && ::fstat(opened.get(), &opened_info) != 0) {
        opened.reset();
    }
    return opened;
}

// A place in the walk: the parent descriptors on both sides, the entry's names there (the same below the
// top), and the full paths that failures name.
struct place_t {
    int parent_to;
    const char* name_to;
    const std::string& from;
    const std::string& to;
    // Directories above this one, the top being 0.
    std::size_t depth;
};

file_result_t copy_entry(const place_t& at, source_item_t item);

file_result_t copy_regular_file(const place_t& at, const source_item_t& item) {
    struct stat opened {};
    const owned_fd_t in = open_for_reading(item, 0, opened);
    if (!in.valid()) {
        return failure("copy", at.from, errno);
    }
    owned_fd_t out(::openat(at.parent_to, at.name_to,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return failure("copy", at.to, errno);
    }
    if (auto result = copy_bytes(in.get(), out.get(), opened.st_size, at.from, at.to); !result) {
        return result;
    }
    if (auto result = copy_attributes(in.get(), out.get(), at.to); !result) {
        return result;
    }
    if (::fchmod(out.get(), copied_mode(item.info)) != 0 || !keep_times(out.get(), item.info) ||
        !out.close()) {
        return failure("copy", at.to, errno);
    }
    return {};
}

// A link is copied as the link it is. Its attributes stay behind: only user attributes are copied, and a
// link cannot carry those.
file_result_t copy_link(const place_t& at, const source_item_t& item) {
    // Some file systems report no size for a link, so room for the longest path is made.
    std::vector<char> target(std::max<std::size_t>(static_cast<std::size_t>(item.info.st_size), PATH_MAX) +
                             1);
    const ssize_t length = ::readlinkat(item.handle.get(), "", target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
        return failure("copy", at.from, length < 0 ? errno : ESTALE);
    }
    target[static_cast<std::size_t>(length)] = '\0';
    if (::symlinkat(target.data(), at.parent_to, at.name_to) != 0) {
        return failure("copy", at.to, errno);
    }
    return {};
}

file_result_t copy_directory(const place_t& at, source_item_t item) {
    if (at.depth > kMaxTreeDepth) {
        return failure("copy", at.from, "deeper than the copy goes");
    }
    struct stat opened {};
    const owned_fd_t in = open_for_reading(item, O_DIRECTORY, opened);
    if (!in.valid()) {
        return failure("copy", at.from, errno);
    }
    // Two descriptors per level: the source and the copy.
    item.handle.reset();
    // Owner-only until filled, so that nobody can slip an entry in; the real mode comes last, which
    // also lets a read-only directory be filled.
    if (::mkdirat(at.parent_to, at.name_to, 0700) != 0) {
        return failure("copy", at.to, errno);
    }
    const owned_fd_t out(
        ::openat(at.parent_to, at.name_to, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!out.valid()) {
        return failure("copy", at.to, errno);
    }
    const auto names = list_directory_at(in.get());
    if (!names) {
        return failure("copy", at.from, errno == 0 ? EACCES : errno);
    }
    for (const auto& name : *names) {
        const std::string child_from = at.from + "/" + name;
        const std::string child_to = at.to + "/" + name;
        auto child = look_at(in.get(), name.c_str());
        if (!child) {
            return failure("copy", child_from, errno);
        }
        if (auto result =
                copy_entry({out.get(), name.c_str(), child_from, child_to, at.depth + 1}, std::move(*child));
            !result) {
            return result;
        }
    }
    if (auto result = copy_attributes(in.get(), out.get(), at.to); !result) {
        return result;
    }
    if (::fchmod(out.get(), copied_mode(item.info)) != 0 || !keep_times(out.get(), item.info)) {
        return failure("copy", at.to, errno);
    }
    return {};
}

file_result_t copy_entry(const place_t& at, source_item_t item) {
    if (S_ISLNK(item.info.st_mode)) {
        return copy_link(at, item);
    }
    if (S_ISDIR(item.info.st_mode)) {
        return copy_directory(at, std::move(item));
    }
    if (S_ISREG(item.info.st_mode)) {
        return copy_regular_file(at, item);
    }
    return failure("copy", at.from, ENOTSUP);
}

bool is_kind(const struct stat& info, item_kind_t kind) {
    switch (kind) {
        case item_kind_t::directory:
            return S_ISDIR(info.st_mode);
        case item_kind_t::regular_file:
            return S_ISREG(info.st_mode);
        case item_kind_t::any:
            break;
    }
    return true;
}

int kind_error(const struct stat& info, item_kind_t kind) {
    if (S_ISLNK(info.st_mode)) {
        return ELOOP;
    }
    if (kind == item_kind_t::directory) {
        return ENOTDIR;
    }
    return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

// A directory copied into itself would keep finding the copy it is making.
bool lies_inside(const std::string& to, const std::string& directory) {
    std::error_code error;
    const auto inner = std::filesystem::weakly_canonical(to, error);
    if (error) {
        return false;
    }
    const auto outer = std::filesystem::canonical(directory, error);
    if (error) {
        return false;
    }
    auto [outer_end, inner_at] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return outer_end == outer.end();
}

}  // namespace

file_result_t copy_item(const std::string& requested_from, const std::string& requested_to,
                        item_kind_t kind) {
    const std::string from = without_trailing_slashes(requested_from);
    const std::string to = without_trailing_slashes(requested_to);
    auto item = from.empty() ? std::nullopt : look_at(AT_FDCWD, from.c_str());
    if (!item) {
        return failure("copy", requested_from, from.empty() ? ENOENT : errno);
    }
    if (!is_kind(item->info, kind)) {
        return failure("copy", requested_from, kind_error(item->info, kind));
    }
    struct stat existing {};
    if (to.empty()) {
        return failure("copy", requested_to, ENOENT);
    }
    if (::lstat(to.c_str(), &existing) == 0) {
        return failure("copy", requested_to, EEXIST);
    }
    if (errno != ENOENT) {
        return failure("copy", requested_to, errno);
    }
    if (S_ISDIR(item->info.st_mode) && lies_inside(to, from)) {
        return failure("copy", requested_to, EINVAL);
    }

    auto result = copy_entry({AT_FDCWD, to.c_str(), from, to, 0}, std::move(*item));
    if (!result) {
        // `to` did not exist before, so everything now at it is this copy's own leftover, unless another
        // process created it first, which the copy reported as "File exists" at the very top.
        struct stat leftover {};
        const bool lost_race = result.error == failure("copy", to, EEXIST).error;
        if (!lost_race && ::lstat(to.c_str(), &leftover) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(to, ignored);
        }
    }
    return result;
}

}  // namespace platform::file_manager
