#pragma once
// Owns one file descriptor (socket, pidfd, eventfd) and closes it when dropped.

#include <unistd.h>

#include <utility>

namespace platform::xpc {

class unique_fd_t {
public:
    unique_fd_t() = default;
    explicit unique_fd_t(int fd) : fd_(fd) {}
    ~unique_fd_t() { reset(); }
    unique_fd_t(unique_fd_t&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd_t& operator=(unique_fd_t&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    unique_fd_t(const unique_fd_t&) = delete;
    unique_fd_t& operator=(const unique_fd_t&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace platform::xpc
