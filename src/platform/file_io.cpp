#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/owned_fd.h"
#include "platform/user_files.h"

namespace platform {
namespace {

constexpr mode_t kNewFileMode = 0644;

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes the temporary file unless the rename has taken it over.
class temporary_file_t {
public:
    explicit temporary_file_t(std::string path) : path_(std::move(path)) {}
    ~temporary_file_t() {
        if (!path_.empty()) {
            const int saved = errno;
            ::unlink(path_.c_str());
            errno = saved;
        }
    }
    temporary_file_t(const temporary_file_t&) = delete;
    temporary_file_t& operator=(const temporary_file_t&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

}  // namespace

std::optional<std::string> read_whole_file(const std::string& path, std::size_t max_bytes) {
    const owned_fd_t fd = open_regular_file(path);
    return fd.valid() ? read_to_end(fd.get(), max_bytes) : std::nullopt;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (count == 0) {
            errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    return write_all(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool write_file_in_place(const std::string& path, std::string_view bytes) {
    owned_fd_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, kNewFileMode));
    if (!fd.valid()) {
        return false;
    }
    return write_all(fd.get(), bytes) && fd.close();
}

bool write_file_atomically(const std::string& path, std::string_view bytes) {
    mode_t mode = kNewFileMode;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return false;
        }
        mode = existing.st_mode & 07777;
    }

    std::string pattern = directory_of(path) + "/." + name_of(path) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    owned_fd_t fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    temporary_file_t temporary(name.data());

    if (::fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0 ||
        !fd.close()) {
        return false;
    }
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
        return false;
    }
    temporary.keep();

    // The rename is already visible; flushing the directory only makes it survive a power loss.
    owned_fd_t directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    if (directory.valid()) {
        ::fsync(directory.get());
    }
    return true;
}

}  // namespace platform
