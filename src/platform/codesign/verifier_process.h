#pragma once
// The code verifier as a process of its own (see verifier_protocol.h).

#include <chrono>
#include <string>
#include <string_view>

#include "platform/os_status.h"

namespace platform::codesign {

// Admissions wait for the verifier one at a time: one that reads an executable too slow to hash (a huge
// file, a file system its owner stalls) must not hold up every other client.
inline constexpr std::chrono::milliseconds kVerifierTimeLimit = std::chrono::seconds(5);

// Has the verifier beside the running executable judge `executable` against the anchors and the
// requirement, and waits for its answer. errSecCSInternalError when it cannot be started or does not
// answer with a status; a verifier still running after `time_limit` is killed and reaped first.
[[nodiscard]] os_status_t run_code_verifier(int executable, const std::string& anchors_path,
                                            const std::string& requirement_text,
                                            std::chrono::milliseconds time_limit = kVerifierTimeLimit);

}  // namespace platform::codesign
