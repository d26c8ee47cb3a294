#pragma once
// The code verifier as a process of its own (see verifier_protocol.h).

#include <string>
#include <string_view>

#include "platform/os_status.h"

namespace platform::codesign {

// Has the verifier beside the running executable judge `executable` against the anchors and the
// requirement, and waits for its answer. errSecCSInternalError when it cannot be started or does not
// answer with a status.
[[nodiscard]] os_status_t run_code_verifier(int executable, const std::string& anchors_path,
                                            const std::string& requirement_text);

}  // namespace platform::codesign
