#include "platform/shared_memory_objects.h"

#include <fcntl.h>

namespace platform {

std::optional<shared_memory_objects_t> shared_memory_objects_t::open() {
    // The system's own, not below the system root: shm_unlink names objects there.
    owned_fd_t directory(::open("/dev/shm", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        return std::nullopt;
    }
    return shared_memory_objects_t(std::move(directory));
}

std::optional<struct stat> shared_memory_objects_t::look_at(const std::string& name) const {
    struct stat info {};
    if (name.empty() || name.find('/') != std::string::npos ||
        ::fstatat(directory_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return info;
}

}  // namespace platform
