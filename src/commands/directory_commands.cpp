// Entries of one directory: finding them by a wildcard, and deleting shared-memory objects named by them.

#include <dirent.h>
#include <sys/mman.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "commands/external_commands.h"

namespace commands {
namespace {

struct directory_closer_t {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using directory_t = std::unique_ptr<DIR, directory_closer_t>;

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Dots first, so that the dots the star and question mark bring in keep their meaning. Every other
// character is left as regular-expression syntax.
std::optional<std::regex> compile_wildcard(const std::string& wildcard) {
    std::string pattern = wildcard;
    replace_all(pattern, ".", "\\.");
    replace_all(pattern, "*", ".*");
    replace_all(pattern, "?", ".");
    pattern = "^" + pattern + "$";
    try {
        return std::regex(pattern, std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

// An expression that gives up on a name (too complex for the engine) does not match it.
bool matches_whole_name(std::string_view name, const std::regex& expression) {
    try {
        return std::regex_match(name.begin(), name.end(), expression);
    } catch (const std::regex_error&) {
        return false;
    }
}

}  // namespace

std::vector<std::string> ExternalCommands::resolveFilesInDirectory(const std::string& directory,
                                                                   const std::string& wildcard) {
    std::vector<std::string> matches;
    const auto expression = compile_wildcard(wildcard);
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
        if (matches_whole_name(name, *expression)) {
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
