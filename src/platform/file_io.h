#pragma once
// Whole-file reads and writes on POSIX descriptors: in place, or atomically through a temporary file
// beside the target and a rename, so that a reader sees either the old or the new content.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// The whole content of a regular file, opened as open_regular_file does (never through a link as its last
// name, nothing but a regular file ever opened); absent when it cannot be opened or read, or holds more
// than `max_bytes`.
[[nodiscard]] std::optional<std::string> read_whole_file(const std::string& path, std::size_t max_bytes);

// Writes every byte, retrying short writes and interruptions.
[[nodiscard]] bool write_all(int fd, std::string_view bytes);
[[nodiscard]] bool write_all(int fd, std::span<const std::uint8_t> bytes);

// Creates or truncates the file and writes the bytes into it. Creates no directory.
[[nodiscard]] bool write_file_in_place(const std::string& path, std::string_view bytes);

// Writes the bytes to a temporary file in the target's directory, flushes it to disk and renames it over
// the target. The new file keeps the mode of the file it replaces (0644 when there was none). The
// temporary file never outlives a failure. On failure errno tells why.
[[nodiscard]] bool write_file_atomically(const std::string& path, std::string_view bytes);

}  // namespace platform
