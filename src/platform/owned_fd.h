#pragma once
// Owns one POSIX file descriptor and closes it when dropped.

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

class owned_fd_t {
public:
    owned_fd_t() = default;
    explicit owned_fd_t(int fd) : fd_(fd) {}
    ~owned_fd_t() { reset(); }
    owned_fd_t(owned_fd_t&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    owned_fd_t& operator=(owned_fd_t&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    owned_fd_t(const owned_fd_t&) = delete;
    owned_fd_t& operator=(const owned_fd_t&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

    // Closes now and reports whether the close succeeded; a written file must be checked here, since
    // some file systems only report a failed write when the descriptor is closed.
    [[nodiscard]] bool close() {
        if (fd_ < 0) {
            return true;
        }
        return ::close(std::exchange(fd_, -1)) == 0;
    }

    // Closes the descriptor held, if any, and takes `fd`. Keeps errno, so that a failure can still be
    // described after the descriptor is dropped.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace platform
