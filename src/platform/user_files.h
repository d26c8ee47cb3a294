#pragma once
// Files and directories that a user other than root may name or replace, opened by root without side
// effects: a name is looked at on an O_PATH descriptor, which opens nothing, and only a regular file or a
// directory is then opened, through that same descriptor. So a FIFO, a terminal or a device planted at
// the name is never opened (no wait for a writer, no controlling terminal, no device action), and the
// item read is the item looked at.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/owned_fd.h"

namespace platform {

// "/proc/self/fd/N": the item a descriptor pins, for calls that take a name (chmod, a second open).
[[nodiscard]] std::string descriptor_path(int descriptor);

// What the O_PATH descriptor `pinned` holds, opened for reading (O_DIRECTORY and the like added by the
// caller). Only for a regular file or a directory: the caller has looked at it with fstat.
[[nodiscard]] owned_fd_t reopen_for_reading(int pinned, int flags = 0);

// A directory, opened for reading and as the start of walks below it, never through a link as its last
// name (ELOOP) and never anything else (ENOTDIR). The path before that may lead through links.
[[nodiscard]] owned_fd_t open_directory(const std::string& path);

// A regular file, opened for reading; never through a link as its last name. Invalid with errno set
// (ELOOP, EINVAL for a FIFO, device or socket, ...) otherwise.
[[nodiscard]] owned_fd_t open_regular_file(const std::string& path);
// The same for `relative` ("Contents/Info.plist") below the opened directory `directory`: no name of it
// may be a link, nor "." or "..", so the file lies inside that directory.
[[nodiscard]] owned_fd_t open_regular_file_below(int directory, std::string_view relative);

// Everything from the file's current position to its end; absent when a read fails or there is more than
// `max_bytes`.
[[nodiscard]] std::optional<std::string> read_to_end(int descriptor, std::size_t max_bytes);

}  // namespace platform
