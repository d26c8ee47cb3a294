#pragma once
// Stand-in for the hardened runtime's library validation (the loader maps only code signed by the platform
// or the application's team): the executable mappings of a process, from /proc/<pid>/maps.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A file by device and inode, as fstat reports them.
struct file_identity_t {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_identity_t&) const = default;
};

// One executable mapping of a /proc/<pid>/maps text. The path is as the kernel shows it: absolute for a
// file (with " (deleted)" once unlinked), "[vdso]" and the like for the kernel's own pages, empty for
// anonymous memory.
struct executable_mapping_t {
    file_identity_t file;
    std::string path;
};

// The executable mappings of a maps text; absent when a line is malformed.
[[nodiscard]] std::optional<std::vector<executable_mapping_t>> parse_executable_mappings(
    std::string_view maps);

// Why the process runs code that neither its signed executable nor root put there; absent when every
// executable mapping is `signed_executable`, the kernel's vdso or vsyscall page, or a regular file owned by
// root and writable by nobody else, reached from "/" through directories that only root can write. Also
// says so when the signed executable itself is not mapped, or the map cannot be read. Anonymous executable
// memory and unlinked files are refused: nothing a signed client needs.
[[nodiscard]] std::optional<std::string> foreign_code_in_process(pid_t pid,
                                                                 const file_identity_t& signed_executable);

}  // namespace platform
