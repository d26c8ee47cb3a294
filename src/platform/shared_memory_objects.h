#pragma once
// Stand-in for looking at a POSIX shared-memory object (shm_open and fstat on the target system): on Linux
// the objects are the files of /dev/shm, looked at there with fstatat and never opened, so that a FIFO or a
// device that a user made under an object's name can neither block the looker nor be touched.

#include <sys/stat.h>

#include <optional>
#include <string>

#include "platform/owned_fd.h"

namespace platform {

class shared_memory_objects_t {
public:
    // Absent when the objects' directory cannot be opened.
    [[nodiscard]] static std::optional<shared_memory_objects_t> open();

    // What the object `name` is (owner, type), never through a link; absent when there is none.
    [[nodiscard]] std::optional<struct stat> look_at(const std::string& name) const;

private:
    explicit shared_memory_objects_t(owned_fd_t directory) : directory_(std::move(directory)) {}

    owned_fd_t directory_;
};

}  // namespace platform
