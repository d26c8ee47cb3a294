#pragma once
// Stand-in for AuthorizationExternalForm: 32 bytes that name the process that made them,
// "QVAU" | u16 version 1 | u16 0 | u32 pid | u32 uid | u64 process start time | 8 random bytes. The uid is
// the effective one, which the helper learns of the connection's peer and which rules are evaluated for.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace platform {

inline constexpr std::size_t kAuthorizationExternalFormLength = 32;
using authorization_external_form_t = std::array<std::uint8_t, kAuthorizationExternalFormLength>;

struct authorization_subject_t {
    std::uint32_t pid = 0;
    std::uint32_t uid = 0;         // effective
    std::uint64_t start_time = 0;  // /proc/<pid>/stat field 22, in clock ticks since boot
};

[[nodiscard]] authorization_external_form_t encode_authorization_form(const authorization_subject_t& subject);
// Absent unless the bytes are exactly a well-formed external form.
[[nodiscard]] std::optional<authorization_subject_t> decode_authorization_form(
    std::span<const std::uint8_t> bytes);

// The external form of the calling process; absent when its start time cannot be read.
[[nodiscard]] std::optional<authorization_external_form_t> make_authorization_form_for_self();

}  // namespace platform
