#pragma once
// quorvix-helperctl's command line: the global options, then one command with its options and operands,
// turned into one request of the request table (or the client's own work on the rights database).

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "client/helper_client.h"
#include "client/rights_commands.h"
#include "core/request_table.h"
#include "platform/xpc/wire.h"

namespace client {

// A command line that cannot be run; `message` is one line without the program's name.
struct usage_error_t {
    std::string message;
};

struct request_invocation_t {
    core::request_id_t id = core::request_id_t::get_version;
    std::vector<platform::xpc::value_t> arguments;
    // False for `restart`, which the helper never answers; `call` waits for a reply to every request.
    bool answered = true;
};

struct command_line_t {
    enum class kind_t { help, version, request, rights };
    kind_t kind = kind_t::help;
    std::optional<std::string> socket_path;
    std::chrono::milliseconds timeout = helper_client_t::kDefaultTimeout;
    request_invocation_t request;
    rights_action_t rights = rights_action_t::setup;
};

// The longest --timeout taken, in seconds: an hour covers the slowest install.
inline constexpr double kMaxTimeoutSeconds = 3600;

// Parses argv after the program's name; throws usage_error_t. The privileged commands take this
// process's external authorization form unless --auth-hex gives other bytes.
[[nodiscard]] command_line_t parse_command_line(const std::vector<std::string>& words);

}  // namespace client
