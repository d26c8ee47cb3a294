// quorvix-helperctl: one command per request of the helper, and `call` for any request with raw values.
// Exit status: 0 a reply arrived, 1 the reply was NO (or the rights could not be written), 2 usage error,
// 3 refused or closed without a reply (restart, which is never answered, once the helper has taken it),
// 4 time-out.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "client/helper_client.h"
#include "client/helperctl_command.h"
#include "client/rights_commands.h"
#include "platform/authorization_database.h"
#include "platform/authorization_services.h"
#include "platform/system_root.h"
#include "support/product.h"
#include "support/trace_log.h"

namespace {

using client::value_t;

constexpr int kExitReply = 0;
constexpr int kExitNo = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;
constexpr int kExitTimeout = 4;

constexpr const char* kUsage = R"(usage: quorvix-helperctl [--socket PATH] [--timeout SECONDS] COMMAND [ARGS]
       quorvix-helperctl -h | --help | --version

Sends one request to the Quorvix privileged helper and prints its reply: YES or NO, a decimal integer,
the string, or (nil). Only a copy signed as the application is admitted.

commands:
  version
  install --bundle P --sysconfig P --namespace N [--user U] [--remove-flavors] [--auth-hex HEX]
  install-service --bundle P --namespace N --user-config P [--auth-hex HEX]
  uninstall --bundle P --namespace N [--sysconfig P] [--user U] [--remove-flavors] [--auth-hex HEX]
  fix-max-files
  restart --bundle P              never answered: exits 3 once the helper has taken it
  reboot [--user U --password-stdin]
  start-service N | is-installed N | is-disabled N | is-run-at-load N | quit-service N
  fix-config-permissions N | is-autostart-enabled N | set-autostart yes|no N
  set-tray [--enabled yes|no] [--bundle P] [TEXT]
  check-global-settings [--auth-hex HEX]
  set-darkwake MODE
  call SELECTOR [VALUE...]      VALUE: @TEXT  D:HEX  B:0|1  c:N  i:N  N (nil text or data)
  setup-rights | delete-rights

options:
  --socket PATH      the helper's socket (default: /var/run/<service> under QUORVIX_SYSTEM_ROOT)
  --timeout SECONDS  how long to wait for the helper, above 0 and at most 3600 (default: 60)
  --                 ends the options, so that an operand may begin with "-": set-darkwake -- -5

The privileged commands send the external authorization form of this process unless --auth-hex gives
other bytes. `call` checks the selector and the number and types of its values before it connects.
setup-rights and delete-rights work on the rights database in this process, without the helper, and print
each right with its rule, or (undefined) for one the database lacks.

Exit status: 0 a reply arrived (YES, a number, a string); 1 the reply was NO, or setup-rights or
delete-rights could not change the database; 2 usage error; 3 refused, or closed without a reply, or no
authorization for setup-rights or delete-rights; 4 time-out.
)";

// setup-rights and delete-rights: the client's own work on the rights database.
int run_rights_command(client::rights_action_t action) {
    // Records go to the helper's trace file when this user may write it; the printed rights tell the rest.
    support::trace_log_init();
    const std::string trace_path = platform::system_path("/var/log/") + support::kProductName + ".trace";
    if (access(trace_path.c_str(), W_OK) == 0 ||
        (errno == ENOENT && access(platform::system_path("/var/log").c_str(), W_OK) == 0)) {
        support::set_trace_path(support::string_t(std::string_view(trace_path)));
        support::set_process_name("helperctl");
    } else {
        support::trace_log().output_enabled = false;
    }
    platform::sqlite_authorization_services_t services;
    const client::rights_outcome_t outcome = client::run_rights_action(services, action);
    if (outcome.status != platform::errAuthorizationSuccess) {
        std::fprintf(stderr, "quorvix-helperctl: no authorization for this process (%d)\n", outcome.status);
        return kExitNoReply;
    }
    if (!outcome.carried_out) {
        const std::filesystem::path database = platform::default_authorization_database_path();
        std::error_code ignored;
        std::fprintf(stderr, "quorvix-helperctl: the rights database %s could not be %s%s\n",
                     database.c_str(),
                     action == client::rights_action_t::setup ? "written" : "changed or read",
                     std::filesystem::is_directory(database.parent_path(), ignored)
                         ? ""
                         : "; its directory does not exist");
        return kExitNo;
    }
    for (const client::right_state_t& right : outcome.rights) {
        std::printf("%s\t%s\n", right.name.c_str(), right.rule ? right.rule->c_str() : "(undefined)");
    }
    return kExitReply;
}

// The exit status of a reply: 1 for NO, so that `is-installed N && ...` can be written; 0 otherwise.
int print_reply(const value_t& value) {
    std::visit(
        [](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                std::puts(v ? "YES" : "NO");
            } else if constexpr (std::is_same_v<T, signed char> || std::is_same_v<T, std::int32_t>) {
                std::printf("%d\n", static_cast<int>(v));
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                std::puts(v ? v->c_str() : "(nil)");
            } else {
                if (!v) {
                    std::puts("(nil)");
                    return;
                }
                for (const std::uint8_t byte : *v) {
                    std::printf("%02x", byte);
                }
                std::puts("");
            }
        },
        value);
    const bool* flag = std::get_if<bool>(&value);
    return flag != nullptr && !*flag ? kExitNo : kExitReply;
}

// Seconds as the user wrote them, near enough: "60", "0.5".
std::string seconds_text(std::chrono::milliseconds timeout) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(timeout.count()) / 1000.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    client::command_line_t line;
    try {
        line = client::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const client::usage_error_t& error) {
        std::fprintf(stderr, "quorvix-helperctl: %s\nTry 'quorvix-helperctl --help' for the commands.\n",
                     error.message.c_str());
        return kExitUsage;
    }
    switch (line.kind) {
        case client::command_line_t::kind_t::help:
            std::fputs(kUsage, stdout);
            return kExitReply;
        case client::command_line_t::kind_t::version:
            std::printf("quorvix-helperctl %s\n", QV_VERSION);
            return kExitReply;
        case client::command_line_t::kind_t::rights:
        case client::command_line_t::kind_t::request:
            break;
    }

    if (const auto problem = platform::load_system_root_from_environment()) {
        std::fprintf(stderr, "quorvix-helperctl: %s\n", problem->c_str());
        return kExitUsage;
    }
    if (line.kind == client::command_line_t::kind_t::rights) {
        return run_rights_command(line.rights);
    }
    const std::string socket_path = line.socket_path.value_or(client::helper_client_t::default_socket_path());
    const std::string wait = seconds_text(line.timeout);
    std::string reason;
    const auto helper = client::helper_client_t::connect(socket_path, line.timeout, &reason);
    if (!helper) {
        if (reason == platform::xpc::describe(client::call_error_t::timed_out)) {
            std::fprintf(stderr,
                         "quorvix-helperctl: connected to %s, but the helper did not take the "
                         "connection within %s s\n",
                         socket_path.c_str(), wait.c_str());
            return kExitTimeout;
        }
        std::fprintf(stderr, "quorvix-helperctl: not connected: %s\n", reason.c_str());
        return kExitNoReply;
    }
    const std::string_view selector = core::selector_of(line.request.id);
    if (!line.request.answered) {
        if (const auto error = helper->send_unanswered(selector, line.request.arguments)) {
            std::fprintf(stderr, "quorvix-helperctl: not delivered: %s\n",
                         std::string(platform::xpc::describe(*error)).c_str());
            return *error == client::call_error_t::timed_out ? kExitTimeout : kExitNoReply;
        }
        std::fprintf(stderr, "quorvix-helperctl: no reply: the helper never answers %.*s\n",
                     static_cast<int>(selector.size()), selector.data());
        return kExitNoReply;
    }
    const client::call_result_t result = helper->call(line.request.id, line.request.arguments);
    if (!result.ok()) {
        if (result.error() == client::call_error_t::timed_out) {
            std::fprintf(stderr, "quorvix-helperctl: connected, but no reply within %s s (--timeout)\n",
                         wait.c_str());
            return kExitTimeout;
        }
        std::fprintf(stderr, "quorvix-helperctl: no reply: %s\n",
                     std::string(platform::xpc::describe(result.error())).c_str());
        return kExitNoReply;
    }
    return print_reply(result.value());
}
