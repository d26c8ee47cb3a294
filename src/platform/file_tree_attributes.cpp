// Owner, group and modes of a whole tree, set in the process on descriptors. The tree may belong to a user
// who changes it while root walks it, so nothing is done by a name formed again: each entry is pinned by
// an O_PATH descriptor relative to its parent's, and changed through that descriptor.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_error.h"
#include "platform/file_manager.h"
#include "platform/owned_fd.h"
#include "platform/user_files.h"

namespace platform::file_manager {
namespace {

constexpr const char* kOperation = "change owner and mode of";

class tree_walk_t {
public:
    explicit tree_walk_t(const tree_attributes_t& attributes) : attributes_(attributes) {}

    // The entries of the opened directory `directory`, which lies `depth` levels below the top.
    void walk_entries(int directory, const std::string& path, std::size_t depth) {
        const auto names = list_directory_at(directory);
        if (!names) {
            note(failure(kOperation, path, errno));
            return;
        }
        for (const std::string& name : *names) {
            walk_entry(directory, name, path + "/" + name, depth + 1);
        }
    }

    // Owner first: a change of owner clears set-id bits, and the mode is to be exactly the one given.
    void change_directory(int directory, mode_t mode, const std::string& path) {
        if (::fchown(directory, attributes_.owner, attributes_.group) != 0 ||
            ::fchmod(directory, mode) != 0) {
            note(failure(kOperation, path, errno));
        }
    }

    [[nodiscard]] file_result_t result() && { return std::move(first_failure_); }

private:
    void walk_entry(int parent, const std::string& name, const std::string& path, std::size_t depth) {
        const owned_fd_t pinned(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!pinned.valid() || ::fstat(pinned.get(), &info) != 0) {
            note(failure(kOperation, path, errno));
            return;
        }
        if (S_ISDIR(info.st_mode)) {
            if (depth > kMaxTreeDepth) {
                note(failure(kOperation, path, "deeper than the walk goes"));
                return;
            }
            const owned_fd_t directory = reopen_for_reading(pinned.get(), O_DIRECTORY);
            if (!directory.valid()) {
                note(failure(kOperation, path, errno));
                return;
            }
            walk_entries(directory.get(), path, depth);
            change_directory(directory.get(), attributes_.inner_mode, path);
            return;
        }
        // A second name of a file, a link or a device elsewhere: changing it here would change it there.
        if (info.st_nlink > 1) {
            note(failure(kOperation, path, "it has another name; left as it is"));
            return;
        }
        // On the pinned item itself: a link's own owner, never its target's, and a mode through the
        // descriptor's name, which opens nothing.
        if (::fchownat(pinned.get(), "", attributes_.owner, attributes_.group,
                       AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
            note(failure(kOperation, path, errno));
            return;
        }
        if (!S_ISLNK(info.st_mode) &&
            ::fchmodat(AT_FDCWD, descriptor_path(pinned.get()).c_str(), attributes_.inner_mode, 0) != 0) {
            note(failure(kOperation, path, errno));
        }
    }

    void note(file_result_t result) {
        if (first_failure_.ok()) {
            first_failure_ = std::move(result);
        }
    }

    const tree_attributes_t& attributes_;
    file_result_t first_failure_;
};

}  // namespace

file_result_t set_tree_attributes(int directory, const std::string& path,
                                  const tree_attributes_t& attributes) {
    struct stat info {};
    if (::fstat(directory, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return failure(kOperation, path, ENOTDIR);
    }
    tree_walk_t walk(attributes);
    walk.walk_entries(directory, path, 0);
    walk.change_directory(directory, attributes.top_mode, path);
    return std::move(walk).result();
}

}  // namespace platform::file_manager
