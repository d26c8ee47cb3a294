// Entries of one directory: finding them by a wildcard, and deleting shared-memory objects named by them.

#include <dirent.h>
#include <sys/mman.h>

#include <cstdio>
#include <memory>

#include "commands/external_commands.h"
#include "commands/wildcard.h"

namespace commands {
namespace {

struct directory_closer_t {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using directory_t = std::unique_ptr<DIR, directory_closer_t>;

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

bool ExternalCommands::cleanup_shared_memory(const std::string& directory) {
    const directory_t listing(::opendir(directory.c_str()));
    if (!listing) {
        return false;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.') {
            continue;
        }
        // Best effort: an object or a file that is already gone is what we want anyway.
        (void)::shm_unlink(name);
        const std::string file = directory + "/" + name;
        (void)std::remove(file.c_str());
    }
    return true;
}

}  // namespace commands
