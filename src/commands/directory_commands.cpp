// Entries of one directory: finding them by a wildcard, and deleting shared-memory objects named by them.

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "commands/external_commands.h"
#include "commands/wildcard.h"
#include "platform/file_manager.h"
#include "platform/owned_fd.h"

namespace commands {
namespace {

struct directory_closer_t {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using directory_t = std::unique_ptr<DIR, directory_closer_t>;

// A registry entry speaks for an object only when root or the object's owner made it; anyone else's
// entry would let them remove objects of other users.
bool may_unlink_object(const char* object_name, uid_t entry_owner) {
    if (entry_owner == 0) {
        return true;
    }
    const platform::owned_fd_t object(::shm_open(object_name, O_RDONLY | O_CLOEXEC, 0));
    struct stat info {};
    return object.valid() && ::fstat(object.get(), &info) == 0 && info.st_uid == entry_owner;
}

}  // namespace

std::vector<std::string> ExternalCommands::resolveFilesInDirectory(const std::string& directory,
                                                                   const std::string& wildcard) {
    std::vector<std::string> matches;
    const auto expression = wildcard_t::compile(wildcard);
    if (!expression) {
        return matches;
    }
    const directory_t listing(::opendir(directory.c_str()));
    if (!listing) {
        return matches;
    }
    // Only the directory's own entries are read, so nothing below a subdirectory is ever seen.
    const std::string_view separator = !directory.empty() && directory.back() == '/' ? "" : "/";
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        if (expression->matches(name)) {
            std::string path;
            path.reserve(directory.size() + separator.size() + name.size());
            path.append(directory).append(separator).append(name);
            matches.push_back(std::move(path));
        }
    }
    return matches;
}

bool ExternalCommands::cleanup_shared_memory(const std::string& parent, const std::string& name) {
    // Any user can create both levels under /tmp: a link at either one must not steer root's removals.
    const platform::owned_fd_t outer(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!outer.valid()) {
        return false;
    }
    platform::owned_fd_t inner(
        ::openat(outer.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!inner.valid()) {
        return false;
    }
    const auto names = platform::file_manager::list_directory_at(inner.get());
    if (!names) {
        return false;
    }
    for (const std::string& entry_name : *names) {
        if (entry_name.starts_with('.') || entry_name.find('/') != std::string::npos) {
            continue;
        }
        struct stat registered {};
        if (::fstatat(inner.get(), entry_name.c_str(), &registered, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        // Best effort: an object or a file that is already gone is what we want anyway.
        if (may_unlink_object(entry_name.c_str(), registered.st_uid)) {
            (void)::shm_unlink(entry_name.c_str());
        }
        if (::unlinkat(inner.get(), entry_name.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) {
            (void)::unlinkat(inner.get(), entry_name.c_str(), AT_REMOVEDIR);
        }
    }
    return true;
}

}  // namespace commands
