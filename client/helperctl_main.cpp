// quorvix-helperctl: one command per request of the helper, and `call` for any request with raw values.
// Exit status: 0 a reply arrived, 2 usage error, 3 refused or closed without a reply (restart, which is
// never answered, once the helper has taken it), 4 time-out.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/helper_client.h"
#include "client/rights_commands.h"
#include "platform/authorization_services.h"
#include "platform/system_root.h"
#include "support/product.h"
#include "support/trace_log.h"

namespace {

using client::value_t;
using core::request_id_t;

constexpr int kExitReply = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;
constexpr int kExitTimeout = 4;

constexpr const char* kUsage = R"(usage: quorvix-helperctl [--socket PATH] [--timeout SECONDS] COMMAND [ARGS]

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
  call SELECTOR [VALUE...]      VALUE: @TEXT  D:HEX  B:0|1  c:N  i:N  N (nil)
  setup-rights | delete-rights

"--" ends the options, so that an operand may begin with "-": set-darkwake -- -5.
The privileged commands send the external authorization form of this process unless --auth-hex gives
other bytes. The reply is printed: YES/NO, a decimal integer, the string, or (nil).
setup-rights and delete-rights work on the rights database in this process, without the helper, and print
each right with its rule, or (undefined) for one the database lacks; exit status 3 when this process gets
no authorization.
Exit status: 0 a reply arrived, 2 usage error, 3 refused or closed without a reply, 4 time-out.
)";

struct usage_error_t {
    std::string message;
};

// The options and operands of one command: "--name value" pairs, bare flags, and the rest in order;
// every word after "--" is an operand.
class arguments_t {
public:
    arguments_t(std::vector<std::string> words, const std::vector<std::string_view>& flags) {
        bool options_ended = false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& word = words[i];
            if (!options_ended && word == "--") {
                options_ended = true;
            } else if (options_ended || word.rfind("--", 0) != 0) {
                operands_.push_back(word);
            } else if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
                options_[word] = "";
            } else if (i + 1 < words.size()) {
                options_[word] = words[++i];
            } else {
                throw usage_error_t{"option " + word + " needs a value"};
            }
        }
    }

    [[nodiscard]] std::string required(const std::string& name) {
        const auto value = optional(name);
        if (!value) {
            throw usage_error_t{"missing " + name};
        }
        return *value;
    }
    [[nodiscard]] std::optional<std::string> optional(const std::string& name) {
        const auto found = options_.find(name);
        if (found == options_.end()) {
            return std::nullopt;
        }
        std::string value = found->second;
        options_.erase(found);
        return value;
    }
    [[nodiscard]] bool flag(const std::string& name) { return optional(name).has_value(); }
    [[nodiscard]] std::vector<std::string> operands(std::size_t min, std::size_t max) {
        if (operands_.size() < min || operands_.size() > max) {
            throw usage_error_t{"wrong number of operands"};
        }
        return std::move(operands_);
    }
    // Every option must have been used.
    void finish() const {
        if (!options_.empty()) {
            throw usage_error_t{"unknown option " + options_.begin()->first};
        }
    }

private:
    std::map<std::string, std::string> options_;
    std::vector<std::string> operands_;
};

std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto [ptr, error] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, bytes[i], 16);
        if (error != std::errc{} || ptr != hex.data() + 2 * i + 2) {
            return std::nullopt;
        }
    }
    return bytes;
}

std::int32_t parse_int(std::string_view text) {
    std::int32_t value = 0;
    const auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || ptr != text.data() + text.size()) {
        throw usage_error_t{"not an integer: " + std::string(text)};
    }
    return value;
}

bool parse_yes_no(std::string_view text) {
    if (text == "yes") {
        return true;
    }
    if (text == "no") {
        return false;
    }
    throw usage_error_t{"expected yes or no, got " + std::string(text)};
}

value_t parse_raw_value(std::string_view word) {
    if (word == "N") {
        return std::optional<std::string>{};
    }
    if (word.starts_with("@")) {
        return std::optional<std::string>(word.substr(1));
    }
    if (word.starts_with("D:")) {
        if (auto bytes = parse_hex(word.substr(2))) {
            return std::optional<std::vector<std::uint8_t>>(std::move(*bytes));
        }
    } else if (word.starts_with("B:")) {
        if (word == "B:0" || word == "B:1") {
            return word == "B:1";
        }
    } else if (word.starts_with("c:")) {
        return static_cast<signed char>(parse_int(word.substr(2)));
    } else if (word.starts_with("i:")) {
        return parse_int(word.substr(2));
    }
    throw usage_error_t{"bad value " + std::string(word)};
}

// The authorization bytes for a privileged command: --auth-hex, or this process's own external form.
value_t authorization(arguments_t& args) {
    if (const auto hex = args.optional("--auth-hex")) {
        auto bytes = parse_hex(*hex);
        if (!bytes) {
            throw usage_error_t{"--auth-hex needs hexadecimal digits"};
        }
        return std::optional<std::vector<std::uint8_t>>(std::move(*bytes));
    }
    return std::optional<std::vector<std::uint8_t>>(client::own_authorization_form());
}

value_t text(std::string value) {
    return std::optional<std::string>(std::move(value));
}

struct invocation_t {
    std::string selector;
    std::vector<value_t> arguments;
    char reply_type = '@';
    bool answered = true;
};

invocation_t request(request_id_t id, std::vector<value_t> arguments) {
    const core::request_spec_t& row = core::request_spec(id);
    return {std::string(row.selector), std::move(arguments), row.reply_type};
}

// Commands that take one namespace operand.
const std::map<std::string_view, request_id_t> kNamespaceCommands = {
    {"start-service", request_id_t::start_service},
    {"is-installed", request_id_t::is_service_installed},
    {"is-disabled", request_id_t::is_service_disabled},
    {"is-run-at-load", request_id_t::is_service_run_at_load},
    {"quit-service", request_id_t::quit_service},
    {"fix-config-permissions", request_id_t::fix_config_permissions},
    {"is-autostart-enabled", request_id_t::is_autostart_enabled},
};

invocation_t parse_command(const std::string& command, std::vector<std::string> words) {
    arguments_t args(std::move(words), {"--remove-flavors", "--password-stdin"});
    invocation_t invocation;
    if (command == "version") {
        invocation = request(request_id_t::get_version, {});
    } else if (command == "install") {
        const value_t auth = authorization(args);
        invocation = request(request_id_t::install,
                             {auth, text(args.required("--bundle")), text(args.required("--sysconfig")),
                              text(args.required("--namespace")), text(args.optional("--user").value_or("")),
                              static_cast<signed char>(args.flag("--remove-flavors"))});
    } else if (command == "install-service") {
        const value_t auth = authorization(args);
        invocation = request(request_id_t::install_service,
                             {auth, text(args.required("--bundle")), text(args.required("--namespace")),
                              text(args.required("--user-config"))});
    } else if (command == "uninstall") {
        const value_t auth = authorization(args);
        invocation =
            request(request_id_t::uninstall,
                    {auth, text(args.required("--bundle")), text(args.optional("--sysconfig").value_or("")),
                     text(args.required("--namespace")), text(args.optional("--user").value_or("")),
                     static_cast<signed char>(args.flag("--remove-flavors"))});
    } else if (command == "fix-max-files") {
        invocation = request(request_id_t::fix_max_files, {});
    } else if (command == "restart") {
        invocation = request(request_id_t::restart, {text(args.required("--bundle"))});
        invocation.answered = false;
    } else if (command == "reboot") {
        std::string user = args.optional("--user").value_or("");
        std::string password;
        if (args.flag("--password-stdin")) {
            std::getline(std::cin, password);
        }
        invocation = request(request_id_t::reboot, {text(std::move(user)), text(std::move(password))});
    } else if (const auto found = kNamespaceCommands.find(command); found != kNamespaceCommands.end()) {
        invocation = request(found->second, {text(args.operands(1, 1)[0])});
    } else if (command == "set-autostart") {
        const auto operands = args.operands(2, 2);
        invocation =
            request(request_id_t::set_autostart_enabled, {parse_yes_no(operands[0]), text(operands[1])});
    } else if (command == "set-tray") {
        const bool enabled = parse_yes_no(args.optional("--enabled").value_or("yes"));
        const auto bundle = args.optional("--bundle");
        const auto operands = args.operands(0, 1);
        invocation = request(request_id_t::set_tray_enabled,
                             {operands.empty() ? std::optional<std::string>{} : text(operands[0]), enabled,
                              bundle ? text(*bundle) : std::optional<std::string>{}});
    } else if (command == "check-global-settings") {
        invocation = request(request_id_t::check_global_settings_auth, {authorization(args)});
    } else if (command == "set-darkwake") {
        invocation = request(request_id_t::set_darkwake_mode, {parse_int(args.operands(1, 1)[0])});
    } else if (command == "call") {
        auto operands = args.operands(1, 256);
        const auto id = core::request_for_selector(operands[0]);
        invocation.selector = operands[0];
        invocation.reply_type = id ? core::request_spec(*id).reply_type : '@';
        for (std::size_t i = 1; i < operands.size(); ++i) {
            invocation.arguments.push_back(parse_raw_value(operands[i]));
        }
    } else {
        throw usage_error_t{"unknown command " + command};
    }
    args.finish();
    return invocation;
}

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
    for (const client::right_state_t& right : outcome.rights) {
        std::printf("%s\t%s\n", right.name.c_str(), right.rule ? right.rule->c_str() : "(undefined)");
    }
    return kExitReply;
}

void print_reply(const value_t& value) {
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
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    std::optional<std::string> socket_path;
    double timeout_seconds = client::helper_client_t::kDefaultTimeout.count() / 1000.0;
    invocation_t invocation;
    std::optional<client::rights_action_t> rights_action;
    try {
        std::size_t next = 0;
        for (; next < words.size() && words[next].rfind("--", 0) == 0; next += 2) {
            if (words[next] == "--") {
                ++next;
                break;
            }
            if (words[next] == "--help") {
                std::fputs(kUsage, stdout);
                return kExitReply;
            }
            if (next + 1 >= words.size()) {
                throw usage_error_t{"option " + words[next] + " needs a value"};
            }
            if (words[next] == "--socket") {
                socket_path = words[next + 1];
            } else if (words[next] == "--timeout") {
                const std::string& text = words[next + 1];
                const auto [ptr, error] =
                    std::from_chars(text.data(), text.data() + text.size(), timeout_seconds);
                if (error != std::errc{} || ptr != text.data() + text.size() || timeout_seconds <= 0) {
                    throw usage_error_t{"--timeout needs a positive number of seconds"};
                }
            } else {
                throw usage_error_t{"unknown option " + words[next]};
            }
        }
        if (next >= words.size()) {
            throw usage_error_t{"missing command"};
        }
        if (words[next] == "setup-rights" || words[next] == "delete-rights") {
            if (next + 1 != words.size()) {
                throw usage_error_t{words[next] + " takes no arguments"};
            }
            rights_action = words[next] == "setup-rights" ? client::rights_action_t::setup
                                                          : client::rights_action_t::remove;
        } else {
            invocation =
                parse_command(words[next], std::vector<std::string>(words.begin() + next + 1, words.end()));
        }
    } catch (const usage_error_t& error) {
        std::fprintf(stderr, "quorvix-helperctl: %s\n\n%s", error.message.c_str(), kUsage);
        return kExitUsage;
    }

    if (const auto problem = platform::load_system_root_from_environment()) {
        std::fprintf(stderr, "quorvix-helperctl: %s\n", problem->c_str());
        return kExitUsage;
    }
    if (rights_action) {
        return run_rights_command(*rights_action);
    }
    const auto timeout = std::chrono::milliseconds(static_cast<std::int64_t>(timeout_seconds * 1000));
    std::string reason;
    const auto helper = client::helper_client_t::connect(
        socket_path.value_or(client::helper_client_t::default_socket_path()), timeout, &reason);
    if (!helper) {
        std::fprintf(stderr, "quorvix-helperctl: not connected: %s\n", reason.c_str());
        return reason == platform::xpc::describe(client::call_error_t::timed_out) ? kExitTimeout
                                                                                  : kExitNoReply;
    }
    if (!invocation.answered) {
        if (const auto error = helper->send_unanswered(invocation.selector, invocation.arguments)) {
            std::fprintf(stderr, "quorvix-helperctl: not delivered: %s\n",
                         std::string(platform::xpc::describe(*error)).c_str());
            return *error == client::call_error_t::timed_out ? kExitTimeout : kExitNoReply;
        }
        std::fprintf(stderr, "quorvix-helperctl: no reply: the helper never answers %s\n",
                     invocation.selector.c_str());
        return kExitNoReply;
    }
    const client::call_result_t result =
        helper->call_raw(invocation.selector, invocation.arguments, invocation.reply_type);
    if (!result.ok()) {
        std::fprintf(stderr, "quorvix-helperctl: no reply: %s\n",
                     std::string(platform::xpc::describe(result.error())).c_str());
        return result.error() == client::call_error_t::timed_out ? kExitTimeout : kExitNoReply;
    }
    print_reply(result.value());
    return kExitReply;
}
