#pragma once
// The process at the other end of an accepted socket, pinned by its opened /proc/<pid> directory so that a
// reused pid is never taken for it: its audit token and the identity of its executable at accept.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audit_token.h"
#include "platform/owned_fd.h"

namespace platform::xpc {

struct executable_identity_t {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const executable_identity_t&) const = default;
};

class peer_process_t {
public:
    // SO_PEERCRED for pid and effective ids, SO_PEERPIDFD (or pidfd_open) to pin the process while its
    // /proc/<pid> directory is opened, the rest from that directory. Fails with a reason when the peer is
    // gone or cannot be read.
    [[nodiscard]] static std::optional<peer_process_t> from_socket(int socket, std::string* reason = nullptr);

    [[nodiscard]] const audit_token_t& audit_token() const { return token_; }
    [[nodiscard]] pid_t pid() const { return static_cast<pid_t>(token_.pid); }
    // The executable it ran when it connected.
    [[nodiscard]] const executable_identity_t& executable() const { return executable_; }
    // Its /proc/<pid>/status, opened from that directory, to be read again for every check; borrowed.
    [[nodiscard]] int status_file() const { return status_file_.get(); }
    // False once the process has ended or exec'd another executable since accept.
    [[nodiscard]] bool runs_admitted_executable() const;

private:
    peer_process_t(audit_token_t token, owned_fd_t process_directory, owned_fd_t status_file,
                   executable_identity_t executable);

    audit_token_t token_;
    owned_fd_t process_directory_;
    owned_fd_t status_file_;
    executable_identity_t executable_;
};

// Parsers of /proc texts, apart so that odd process names can be tested.
// The real id (first number) of the "Uid:" or "Gid:" line of /proc/<pid>/status.
[[nodiscard]] std::optional<std::uint32_t> parse_status_real_id(std::string_view status,
                                                                std::string_view key);

}  // namespace platform::xpc
