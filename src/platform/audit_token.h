#pragma once
// Stand-in for audit_token_t: who is on the other end of a connection, taken when it was accepted.

#include <array>
#include <cstdint>

namespace platform {

struct audit_token_t {
    std::uint32_t auid = 0;  // /proc/<pid>/loginuid
    std::uint32_t euid = 0;
    std::uint32_t egid = 0;
    std::uint32_t ruid = 0;
    std::uint32_t rgid = 0;
    std::uint32_t pid = 0;
    std::uint32_t session_id = 0;   // getsid(pid)
    std::uint32_t pid_version = 0;  // low 32 bits of the start time, /proc/<pid>/stat field 22

    // The eight words in the order of the macOS token.
    [[nodiscard]] std::array<std::uint32_t, 8> words() const {
        return {auid, euid, egid, ruid, rgid, pid, session_id, pid_version};
    }
    [[nodiscard]] static audit_token_t from_words(const std::array<std::uint32_t, 8>& w) {
        return {w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]};
    }
};

}  // namespace platform
