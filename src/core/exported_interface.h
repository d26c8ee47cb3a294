#pragma once
// The interface every admitted connection exports, derived from the request table.

#include <array>

#include "core/request_table.h"
#include "platform/xpc/wire.h"

namespace core {

inline constexpr std::array<platform::xpc::method_signature_t, kRequests.size()> kExportedInterface = [] {
    std::array<platform::xpc::method_signature_t, kRequests.size()> methods{};
    for (std::size_t i = 0; i < kRequests.size(); ++i) {
        methods[i] = {kRequests[i].selector, kRequests[i].argument_types, kRequests[i].reply_type};
    }
    return methods;
}();

}  // namespace core
