#include "platform/code_mappings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "platform/owned_fd.h"
#include "platform/process_info.h"

namespace platform {
namespace {

constexpr std::size_t kMaxShownPath = 256;

template <typename T>
bool parse_hex(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

// Cuts the next blank-separated field off the front of `line`.
std::string_view next_field(std::string_view& line) {
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(std::min(end + 1, line.size()));
    return field;
}

std::optional<executable_mapping_t> parse_line(std::string_view line, bool& executable) {
    const std::string_view range = next_field(line);
    const std::string_view permissions = next_field(line);
    const std::string_view offset = next_field(line);
    const std::string_view device = next_field(line);
    const std::string_view inode = next_field(line);
    const std::size_t colon = device.find(':');
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    std::uint64_t offset_value = 0;
    std::uint64_t inode_value = 0;
    const auto [inode_end, inode_error] =
        std::from_chars(inode.data(), inode.data() + inode.size(), inode_value);
    if (range.find('-') == std::string_view::npos || permissions.size() != 4 ||
        !parse_hex(offset, offset_value) || colon == std::string_view::npos ||
        !parse_hex(device.substr(0, colon), major_number) ||
        !parse_hex(device.substr(colon + 1), minor_number) || inode.empty() || inode_error != std::errc{} ||
        inode_end != inode.data() + inode.size()) {
        return std::nullopt;
    }
    executable = permissions[2] == 'x';
    const std::size_t path_start = std::min(line.find_first_not_of(' '), line.size());
    return executable_mapping_t{{makedev(major_number, minor_number), static_cast<ino_t>(inode_value)},
                                std::string(line.substr(path_start))};
}

// A path as it may appear in a record: control bytes as \xNN, cut to a bounded length.
std::string shown(std::string_view path) {
    std::string text;
    for (const char c : path.substr(0, kMaxShownPath)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    if (path.size() > kMaxShownPath) {
        text += "...";
    }
    return text;
}

bool only_root_can_write(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Directories found to be writable by root only, while one process is judged: most libraries share one.
using checked_directories_t = std::vector<std::pair<std::string, owned_fd_t>>;

// Opens the directory `path` (absolute, without a trailing slash, "" for "/"), walking from "/" without
// following links, when it and every directory above it can be written by root only; else the reason.
std::optional<std::string> open_root_directory(std::string_view path, checked_directories_t& checked,
                                               int& out) {
    for (const auto& [known, fd] : checked) {
        if (known == path) {
            out = fd.get();
            return std::nullopt;
        }
    }
    owned_fd_t directory(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!directory.valid() || ::fstat(directory.get(), &info) != 0 || !only_root_can_write(info)) {
        return "\"/\" is writable by others than root";
    }
    std::string_view rest = path;
    while (!rest.empty()) {
        rest.remove_prefix(1);
        const std::string name(rest.substr(0, rest.find('/')));
        if (name.empty() || name == "." || name == "..") {
            return "unusual directory " + shown(path);
        }
        owned_fd_t next(
            ::openat(directory.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid() || ::fstat(next.get(), &info) != 0) {
            return "cannot reach " + shown(path) + " without following links";
        }
        if (!only_root_can_write(info)) {
            return shown(path) + " is, or lies in, a directory that others than root can write";
        }
        directory = std::move(next);
        rest.remove_prefix(name.size());
    }
    out = directory.get();
    checked.emplace_back(std::string(path), std::move(directory));
    return std::nullopt;
}

// Absent when `path` names, through directories that only root can write, a regular file of root's that
// nobody else can write, and that is the mapped file. Else the reason.
std::optional<std::string> root_file_problem(const std::string& path, const file_identity_t& mapped,
                                             checked_directories_t& checked) {
    const std::size_t slash = path.rfind('/');
    const std::string name = path.substr(slash + 1);
    int directory = -1;
    if (auto problem = open_root_directory(std::string_view(path).substr(0, slash), checked, directory)) {
        return problem;
    }
    if (name.empty() || name == "." || name == "..") {
        return "unusual path " + shown(path);
    }
    owned_fd_t file(::openat(directory, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0) {
        return "cannot reach " + shown(path) + " without following links";
    }
    if (!S_ISREG(info.st_mode) || !only_root_can_write(info)) {
        return shown(path) + " is not a file that only root can write";
    }
    if (file_identity_t{info.st_dev, info.st_ino} != mapped) {
        return shown(path) + " is not the file that is mapped";
    }
    return std::nullopt;
}

std::optional<std::string> mapping_problem(const executable_mapping_t& mapping,
                                           checked_directories_t& checked) {
    if (mapping.file.inode == 0 && (mapping.path == "[vdso]" || mapping.path == "[vsyscall]")) {
        return std::nullopt;
    }
    if (mapping.path.empty()) {
        return "anonymous executable memory";
    }
    if (mapping.path.front() != '/') {
        return "executable mapping " + shown(mapping.path) + " is not a file";
    }
    return root_file_problem(mapping.path, mapping.file, checked);
}

}  // namespace

std::optional<std::vector<executable_mapping_t>> parse_executable_mappings(std::string_view maps) {
    std::vector<executable_mapping_t> mappings;
    while (!maps.empty()) {
        const std::size_t end = std::min(maps.find('\n'), maps.size());
        bool executable = false;
        auto mapping = parse_line(maps.substr(0, end), executable);
        if (!mapping) {
            return std::nullopt;
        }
        if (executable) {
            mappings.push_back(std::move(*mapping));
        }
        maps.remove_prefix(std::min(end + 1, maps.size()));
    }
    return mappings;
}

std::optional<std::string> foreign_code_in_process(pid_t pid, const file_identity_t& signed_executable) {
    const auto text = read_process_entry(pid, "maps");
    const auto mappings = text ? parse_executable_mappings(*text) : std::nullopt;
    if (!mappings) {
        return "the process's memory map cannot be read";
    }
    bool signed_executable_mapped = false;
    std::vector<file_identity_t> checked;
    checked_directories_t directories;
    for (const executable_mapping_t& mapping : *mappings) {
        if (mapping.file == signed_executable && mapping.file.inode != 0) {
            signed_executable_mapped = true;
            continue;
        }
        // A library has one executable mapping, rarely more; each file is judged once.
        if (mapping.file.inode != 0 &&
            std::find(checked.begin(), checked.end(), mapping.file) != checked.end()) {
            continue;
        }
        if (auto problem = mapping_problem(mapping, directories)) {
            return problem;
        }
        checked.push_back(mapping.file);
    }
    if (!signed_executable_mapped) {
        return "the signed executable is not mapped";
    }
    return std::nullopt;
}

}  // namespace platform
