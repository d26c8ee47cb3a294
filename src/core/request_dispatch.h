#pragma once
// From a decoded request to the typed handler of helper_tool_t, and back to one reply value.

#include <functional>

#include "core/exported_interface.h"
#include "core/helper_tool.h"

namespace core {

using send_reply_t = std::function<void(const platform::xpc::value_t&)>;

// Runs the request's handler. A system tool that cannot be started, or any other exception, gives an error
// record and the request's failure value (NO, -1 or nil) unless the handler has replied. Never throws.
void dispatch_request(helper_tool_t& helper, const platform::xpc::request_t& request,
                      const send_reply_t& send_reply);

// Sets the connection's exported interface and object (which holds the helper strongly), and turns its
// protocol errors into warning records.
void export_requests(helper_tool_t& helper, platform::xpc::connection_t& connection);

}  // namespace core
