// The two requests that belong to the service core.
#include "core/helper_tool.h"

namespace core {

void helper_tool_t::get_version_with_reply(const reply_t<string_arg_t>& reply) {
    reply(main_bundle().string_for_key("CFBundleVersion"));
}

// Accepted and deliberately left unanswered: the application restarts itself and never waits for it.
void helper_tool_t::restart_quorvix_with_bundle_path(const string_arg_t& /*bundle_path*/,
                                                     const reply_t<bool>& /*reply*/) {}

}  // namespace core
