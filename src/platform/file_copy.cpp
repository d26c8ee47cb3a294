// Recursive copy for the file manager: links stay links, and modes, times and extended attributes travel with
// each item. A copy that fails part way removes what it created, so no half-copied bundle is left behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_error.h"
#include "platform/file_io.h"
#include "platform/file_manager.h"
#include "platform/owned_fd.h"

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

// The attribute calls of one item, through its descriptor or, for a link, through its path.
struct xattr_access_t {
    std::function<ssize_t(char*, std::size_t)> list;
    std::function<ssize_t(const char*, char*, std::size_t)> get;
    std::function<int(const char*, const std::vector<char>&)> set;
};

xattr_access_t fd_access(int from, int to) {
    return {[from](char* names, std::size_t size) { return ::flistxattr(from, names, size); },
            [from](const char* name, char* value, std::size_t size) {
                return ::fgetxattr(from, name, value, size);
            },
            [to](const char* name, const std::vector<char>& value) {
                return ::fsetxattr(to, name, value.data(), value.size(), 0);
            }};
}

xattr_access_t link_access(const std::string& from, const std::string& to) {
    return {[from](char* names, std::size_t size) { return ::llistxattr(from.c_str(), names, size); },
            [from](const char* name, char* value, std::size_t size) {
                return ::lgetxattr(from.c_str(), name, value, size);
            },
            [to](const char* name, const std::vector<char>& value) {
                return ::lsetxattr(to.c_str(), name, value.data(), value.size(), 0);
            }};
}

// Every attribute that can be read is copied. A file system without attribute support on either side
// is no failure, and neither is an attribute that vanished or that the kernel refuses on a link.
file_result_t copy_attributes(const xattr_access_t& access, const std::string& to, bool is_link) {
    const auto names = fetch_sized(access.list);
    if (!names) {
        return errno == ENOTSUP ? file_result_t{} : failure("copy extended attributes to", to, errno);
    }
    for (std::size_t start = 0; start < names->size();) {
        const char* name = names->data() + start;
        start += std::char_traits<char>::length(name) + 1;
        const auto value =
            fetch_sized([&](char* buffer, std::size_t size) { return access.get(name, buffer, size); });
        if (!value) {
            if (errno == ENODATA || errno == ENOTSUP || errno == EPERM) {
                continue;
            }
            return failure("copy extended attributes to", to, errno);
        }
        if (access.set(name, *value) != 0 && errno != ENOTSUP && !(is_link && errno == EPERM)) {
            return failure("copy extended attributes to", to, errno);
        }
    }
    return {};
}

// copy_file_range lets the kernel move the bytes (or share extents); plain read and write take over
// where it is not available between these two file systems.
file_result_t copy_bytes(int in, int out, off_t expected, const std::string& from, const std::string& to) {
    bool kernel_copy = true;
    off_t copied = 0;
    std::vector<char> buffer;
    for (;;) {
        if (kernel_copy) {
            const ssize_t count = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (count > 0) {
                copied += count;
                continue;
            }
            if (count == 0 && copied >= expected) {
                return {};
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
        const ssize_t count = ::read(in, buffer.data(), buffer.size());
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
        copied += count;
    }
}

bool keep_times(int fd, const struct stat& info) {
    const timespec times[2] = {info.st_atim, info.st_mtim};
    return ::futimens(fd, times) == 0;
}

file_result_t copy_entry(const std::string& from, const std::string& to, const struct stat& info);

file_result_t copy_regular_file(const std::string& from, const std::string& to) {
    // The item may have been swapped since it was looked at; O_NONBLOCK keeps a FIFO from blocking here.
    owned_fd_t in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!in.valid() || ::fstat(in.get(), &opened) != 0) {
        return failure("copy", from, errno);
    }
    if (!S_ISREG(opened.st_mode)) {
        return failure("copy", from, ENOTSUP);
    }
    owned_fd_t out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return failure("copy", to, errno);
    }
    if (auto result = copy_bytes(in.get(), out.get(), opened.st_size, from, to); !result) {
        return result;
    }
    if (auto result = copy_attributes(fd_access(in.get(), out.get()), to, false); !result) {
        return result;
    }
    if (::fchmod(out.get(), opened.st_mode & 07777) != 0 || !keep_times(out.get(), opened) || !out.close()) {
        return failure("copy", to, errno);
    }
    return {};
}

file_result_t copy_link(const std::string& from, const std::string& to) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(from, error);
    if (error) {
        return failure("copy", from, error.value());
    }
    if (::symlink(target.c_str(), to.c_str()) != 0) {
        return failure("copy", to, errno);
    }
    return copy_attributes(link_access(from, to), to, true);
}

file_result_t copy_directory(const std::string& from, const std::string& to, const struct stat& info) {
    // Owner-only until filled, so that nobody can slip an entry in; the real mode comes last, which
    // also lets a read-only directory be filled.
    if (::mkdir(to.c_str(), 0700) != 0) {
        return failure("copy", to, errno);
    }
    const auto names = list_directory(from);
    if (!names) {
        return failure("copy", from, errno == 0 ? EACCES : errno);
    }
    for (const auto& name : *names) {
        const std::string child_from = from + "/" + name;
        struct stat child {};
        if (::lstat(child_from.c_str(), &child) != 0) {
            return failure("copy", child_from, errno);
        }
        if (auto result = copy_entry(child_from, to + "/" + name, child); !result) {
            return result;
        }
    }
    owned_fd_t in(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    owned_fd_t out(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) {
        return failure("copy", from, errno);
    }
    if (!out.valid()) {
        return failure("copy", to, errno);
    }
    if (auto result = copy_attributes(fd_access(in.get(), out.get()), to, false); !result) {
        return result;
    }
    if (::fchmod(out.get(), info.st_mode & 07777) != 0 || !keep_times(out.get(), info)) {
        return failure("copy", to, errno);
    }
    return {};
}

file_result_t copy_entry(const std::string& from, const std::string& to, const struct stat& info) {
    if (S_ISLNK(info.st_mode)) {
        return copy_link(from, to);
    }
    if (S_ISDIR(info.st_mode)) {
        return copy_directory(from, to, info);
    }
    if (S_ISREG(info.st_mode)) {
        return copy_regular_file(from, to);
    }
    return failure("copy", from, ENOTSUP);
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

file_result_t copy_item(const std::string& requested_from, const std::string& requested_to) {
    const std::string from = without_trailing_slashes(requested_from);
    const std::string to = without_trailing_slashes(requested_to);
    struct stat info {};
    if (from.empty() || ::lstat(from.c_str(), &info) != 0) {
        return failure("copy", requested_from, from.empty() ? ENOENT : errno);
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
    if (S_ISDIR(info.st_mode) && lies_inside(to, from)) {
        return failure("copy", requested_to, EINVAL);
    }

    auto result = copy_entry(from, to, info);
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
