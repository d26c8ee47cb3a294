#include "platform/user_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// The item at `name` in `directory` as an O_PATH descriptor, never through a final link, when it is a
// regular file; the open that follows goes through the descriptor, so nothing else is ever opened.
owned_fd_t open_pinned_regular_file(int directory, const char* name) {
    owned_fd_t pinned(::openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!pinned.valid() || ::fstat(pinned.get(), &info) != 0) {
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISLNK(info.st_mode) ? ELOOP : EINVAL;
        return {};
    }
    return reopen_for_reading(pinned.get());
}

}  // namespace

std::string descriptor_path(int descriptor) {
    return "/proc/self/fd/" + std::to_string(descriptor);
}

owned_fd_t reopen_for_reading(int pinned, int flags) {
    return owned_fd_t(::open(descriptor_path(pinned).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | flags));
}

owned_fd_t open_directory(const std::string& path) {
    return owned_fd_t(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
}

owned_fd_t open_regular_file(const std::string& path) {
    return open_pinned_regular_file(AT_FDCWD, path.c_str());
}

owned_fd_t open_regular_file_below(int directory, std::string_view relative) {
    owned_fd_t parent;
    int at = directory;
    for (;;) {
        const auto slash = relative.find('/');
        const std::string name(relative.substr(0, slash));
        if (name.empty() || name == "." || name == "..") {
            errno = EINVAL;
            return {};
        }
        if (slash == std::string_view::npos) {
            return open_pinned_regular_file(at, name.c_str());
        }
        parent.reset(::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!parent.valid()) {
            return {};
        }
        at = parent.get();
        relative.remove_prefix(slash + 1);
    }
}

std::optional<std::string> read_to_end(int descriptor, std::size_t max_bytes) {
    std::string content;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count == 0) {
            return content;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (static_cast<std::size_t>(count) > max_bytes - content.size()) {
            return std::nullopt;
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

}  // namespace platform
