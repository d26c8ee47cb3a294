#pragma once
// What code_t and requirement_t hold; shared by the files of this library only.

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
    requirement_node_t tree;
};

}  // namespace platform::codesign
