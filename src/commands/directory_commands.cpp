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
#include "platform/shared_memory_objects.h"
#include "platform/user_files.h"

namespace commands {
namespace {

struct directory_closer_t {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using directory_t = std::unique_ptr<DIR, directory_closer_t>;

// Root, or the user whose object it is: the only ones who may make or name an entry that speaks for it.
bool acts_for(uid_t object_owner, uid_t who) {
    return who == 0 || who == object_owner;
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
    const platform::owned_fd_t outer = platform::open_directory(parent);
    if (!outer.valid()) {
        return false;
    }
    const platform::owned_fd_t inner(
        ::openat(outer.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat outer_info {};
    struct stat inner_info {};
    if (!inner.valid() || ::fstat(outer.get(), &outer_info) != 0 || ::fstat(inner.get(), &inner_info) != 0) {
        return false;
    }
    const auto names = platform::file_manager::list_directory_at(inner.get());
    if (!names) {
        return false;
    }
    // Objects are looked at, never opened: one may be a FIFO.
    const auto objects = platform::shared_memory_objects_t::open();
    for (const std::string& entry_name : *names) {
        if (entry_name.starts_with('.') || entry_name.find('/') != std::string::npos) {
            continue;
        }
        struct stat entry {};
        if (::fstatat(inner.get(), entry_name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        // An entry speaks for its object only when nobody but root or the object's owner can have made it
        // or given it its name: a file of one name (a second name of some other file is no entry), made by
        // one of them, in directories that only they can rename entries in.
        const auto object = objects ? objects->look_at(entry_name) : std::nullopt;
        if (object && S_ISREG(entry.st_mode) && entry.st_nlink == 1 &&
            acts_for(object->st_uid, entry.st_uid) && acts_for(object->st_uid, outer_info.st_uid) &&
            acts_for(object->st_uid, inner_info.st_uid)) {
            // Best effort: an object that is already gone is what we want anyway.
            (void)::shm_unlink(entry_name.c_str());
        }
        if (::unlinkat(inner.get(), entry_name.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) {
            (void)::unlinkat(inner.get(), entry_name.c_str(), AT_REMOVEDIR);
        }
    }
    return true;
}

}  // namespace commands
