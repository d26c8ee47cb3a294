#pragma once
// What code_t and requirement_t hold; shared by the files of the code-signing libraries only.

#include <functional>
#include <optional>
#include <string>

#include "platform/codesign/codesign.h"
#include "platform/codesign/guest_process.h"
#include "platform/codesign/requirement_parser.h"
#include "platform/owned_fd.h"

namespace platform::codesign {

struct code_t::state_t {
    // The file whose signature is checked; for a guest, its /proc/<pid>/exe.
    owned_fd_t executable;
    // Set for a running guest, which must still be the same process when checked.
    std::optional<guest_process_t> guest;
};

struct requirement_t::state_t {
    // The source, for the verifier process, which compiles it again.
    std::string text;
    requirement_node_t tree;
};

// Judges the signature of an open executable, and the requirement when there is one.
using signature_check_t = std::function<os_status_t(int executable)>;

// The validity check around `check_signature`: a null code fails; a guest must keep to the hardened
// runtime before and still be the same running process after.
[[nodiscard]] os_status_t check_code(const code_t* code, const signature_check_t& check_signature);

}  // namespace platform::codesign
