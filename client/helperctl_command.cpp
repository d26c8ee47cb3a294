#include "client/helperctl_command.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <map>
#include <string_view>

#include "client/helper_client.h"

namespace client {
namespace {

using core::request_id_t;
using platform::xpc::value_t;

// The options and operands of one command: "--name value" pairs, bare flags, and the rest in order;
// every word after "--" is an operand. Every command follows the same rules: each option and operand must
// be used, and each operand count is checked.
class arguments_t {
public:
    arguments_t(std::string command, const std::vector<std::string>& words,
                const std::vector<std::string_view>& flags)
        : command_(std::move(command)) {
        bool options_ended = false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& word = words[i];
            if (!options_ended && word == "--") {
                options_ended = true;
            } else if (options_ended || !word.starts_with("--")) {
                operands_.push_back(word);
            } else if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
                options_[word] = "";
            } else if (i + 1 < words.size()) {
                options_[word] = words[++i];
            } else {
                throw usage_error_t{command_ + ": option " + word + " needs a value"};
            }
        }
    }

    [[nodiscard]] std::string required(const std::string& name) {
        auto value = optional(name);
        if (!value) {
            throw usage_error_t{command_ + ": missing " + name};
        }
        return std::move(*value);
    }
    [[nodiscard]] std::optional<std::string> optional(const std::string& name) {
        const auto found = options_.find(name);
        if (found == options_.end()) {
            return std::nullopt;
        }
        std::string value = std::move(found->second);
        options_.erase(found);
        return value;
    }
    [[nodiscard]] bool flag(const std::string& name) { return optional(name).has_value(); }
    // Between `min` and `max` operands; `what` names them for a message.
    [[nodiscard]] std::vector<std::string> operands(std::size_t min, std::size_t max, const char* what) {
        if (operands_.size() < min) {
            throw usage_error_t{command_ + ": missing " + what};
        }
        if (operands_.size() > max) {
            throw usage_error_t{command_ + ": unexpected operand '" + operands_[max] + "'"};
        }
        return std::exchange(operands_, {});
    }
    // Every option and operand must have been used.
    void finish() const {
        if (!options_.empty()) {
            throw usage_error_t{command_ + ": unknown option " + options_.begin()->first};
        }
        if (!operands_.empty()) {
            throw usage_error_t{command_ + ": unexpected operand '" + operands_.front() + "'"};
        }
    }

private:
    std::string command_;
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

template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::int32_t parse_int(std::string_view text) {
    const auto value = parse_number<std::int32_t>(text);
    if (!value) {
        throw usage_error_t{"not a 32-bit integer: " + std::string(text)};
    }
    return *value;
}

bool parse_yes_no(std::string_view text) {
    if (text == "yes" || text == "no") {
        return text == "yes";
    }
    throw usage_error_t{"expected yes or no, got " + std::string(text)};
}

std::chrono::milliseconds parse_timeout(std::string_view text) {
    const auto seconds = parse_number<double>(text);
    if (!seconds || !std::isfinite(*seconds) || *seconds <= 0 || *seconds > kMaxTimeoutSeconds) {
        throw usage_error_t{"--timeout needs a number of seconds above 0 and at most " +
                            std::to_string(static_cast<int>(kMaxTimeoutSeconds)) + ", got '" +
                            std::string(text) + "'"};
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(*seconds * 1000)));
}

value_t text(std::string value) {
    return std::optional<std::string>(std::move(value));
}

// One raw value of `call`, read as the type the request table declares for its position.
value_t parse_raw_value(std::string_view word, char declared, std::size_t position,
                        std::string_view selector) {
    const auto wrong = [&](const char* expected) {
        return usage_error_t{"call: value " + std::to_string(position) + " of " + std::string(selector) +
                             " must be " + expected + ", got '" + std::string(word) + "'"};
    };
    switch (declared) {
        case '@':
            if (word == "N") {
                return std::optional<std::string>{};
            }
            if (!word.starts_with("@")) {
                throw wrong("@TEXT or N");
            }
            return text(std::string(word.substr(1)));
        case 'D': {
            if (word == "N") {
                return std::optional<std::vector<std::uint8_t>>{};
            }
            auto bytes = word.starts_with("D:") ? parse_hex(word.substr(2)) : std::nullopt;
            if (!bytes) {
                throw wrong("D:HEX or N");
            }
            return std::optional<std::vector<std::uint8_t>>(std::move(*bytes));
        }
        case 'B':
            if (word != "B:0" && word != "B:1") {
                throw wrong("B:0 or B:1");
            }
            return word == "B:1";
        case 'c': {
            const auto value =
                word.starts_with("c:") ? parse_number<signed char>(word.substr(2)) : std::nullopt;
            if (!value) {
                throw wrong("c:N");
            }
            return *value;
        }
        default: {
            const auto value =
                word.starts_with("i:") ? parse_number<std::int32_t>(word.substr(2)) : std::nullopt;
            if (!value) {
                throw wrong("i:N");
            }
            return *value;
        }
    }
}

// `call SELECTOR VALUE...`: the selector, the number of values and each value's type are checked against
// the request table here, before anything is sent.
request_invocation_t parse_call(const std::vector<std::string>& operands) {
    const std::string& selector = operands[0];
    const auto id = core::request_for_selector(selector);
    if (!id) {
        throw usage_error_t{"call: unknown selector '" + selector + "'"};
    }
    const std::string_view types = core::request_spec(*id).argument_types;
    if (operands.size() - 1 != types.size()) {
        throw usage_error_t{"call: " + selector + " takes " + std::to_string(types.size()) + " value" +
                            (types.size() == 1 ? "" : "s") + ", got " + std::to_string(operands.size() - 1)};
    }
    request_invocation_t invocation{*id, {}};
    for (std::size_t i = 0; i < types.size(); ++i) {
        invocation.arguments.push_back(parse_raw_value(operands[i + 1], types[i], i + 1, selector));
    }
    return invocation;
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
    return std::optional<std::vector<std::uint8_t>>(own_authorization_form());
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

// The command and its words after the global options; sets the request or the rights action.
void parse_command(const std::string& command, const std::vector<std::string>& words, command_line_t& line) {
    arguments_t args(command, words, {"--remove-flavors", "--password-stdin"});
    const auto request = [&](request_id_t id, std::vector<value_t> arguments) {
        line.kind = command_line_t::kind_t::request;
        line.request = {id, std::move(arguments)};
    };
    if (command == "version") {
        request(request_id_t::get_version, {});
    } else if (command == "install" || command == "uninstall") {
        const value_t auth = authorization(args);
        const bool install = command == "install";
        std::string bundle = args.required("--bundle");
        std::string sysconfig =
            install ? args.required("--sysconfig") : args.optional("--sysconfig").value_or("");
        request(install ? request_id_t::install : request_id_t::uninstall,
                {auth, text(std::move(bundle)), text(std::move(sysconfig)),
                 text(args.required("--namespace")), text(args.optional("--user").value_or("")),
                 static_cast<signed char>(args.flag("--remove-flavors"))});
    } else if (command == "install-service") {
        const value_t auth = authorization(args);
        std::string bundle = args.required("--bundle");
        std::string qv_namespace = args.required("--namespace");
        request(request_id_t::install_service, {auth, text(std::move(bundle)), text(std::move(qv_namespace)),
                                                text(args.required("--user-config"))});
    } else if (command == "fix-max-files") {
        request(request_id_t::fix_max_files, {});
    } else if (command == "restart") {
        request(request_id_t::restart, {text(args.required("--bundle"))});
        line.request.answered = false;
    } else if (command == "reboot") {
        std::string user = args.optional("--user").value_or("");
        std::string password;
        if (args.flag("--password-stdin")) {
            std::getline(std::cin, password);
        }
        request(request_id_t::reboot, {text(std::move(user)), text(std::move(password))});
    } else if (const auto found = kNamespaceCommands.find(command); found != kNamespaceCommands.end()) {
        request(found->second, {text(args.operands(1, 1, "namespace")[0])});
    } else if (command == "set-autostart") {
        const auto operands = args.operands(2, 2, "yes|no and namespace");
        request(request_id_t::set_autostart_enabled, {parse_yes_no(operands[0]), text(operands[1])});
    } else if (command == "set-tray") {
        const bool enabled = parse_yes_no(args.optional("--enabled").value_or("yes"));
        const auto bundle = args.optional("--bundle");
        const auto operands = args.operands(0, 1, "text");
        request(request_id_t::set_tray_enabled,
                {operands.empty() ? std::optional<std::string>{} : text(operands[0]), enabled,
                 bundle ? text(*bundle) : std::optional<std::string>{}});
    } else if (command == "check-global-settings") {
        request(request_id_t::check_global_settings_auth, {authorization(args)});
    } else if (command == "set-darkwake") {
        request(request_id_t::set_darkwake_mode, {parse_int(args.operands(1, 1, "mode")[0])});
    } else if (command == "call") {
        line.kind = command_line_t::kind_t::request;
        line.request = parse_call(args.operands(1, 256, "selector"));
    } else if (command == "setup-rights" || command == "delete-rights") {
        line.kind = command_line_t::kind_t::rights;
        line.rights = command == "setup-rights" ? rights_action_t::setup : rights_action_t::remove;
    } else {
        throw usage_error_t{"unknown command '" + command + "'"};
    }
    args.finish();
}

}  // namespace

command_line_t parse_command_line(const std::vector<std::string>& words) {
    command_line_t line;
    std::size_t next = 0;
    for (; next < words.size(); ++next) {
        const std::string& word = words[next];
        if (word == "-h" || word == "--help" || word == "--version") {
            line.kind = word == "--version" ? command_line_t::kind_t::version : command_line_t::kind_t::help;
            return line;
        }
        if (word == "--") {
            ++next;
            break;
        }
        if (!word.starts_with("-")) {
            break;
        }
        if (word != "--socket" && word != "--timeout") {
            throw usage_error_t{"unknown option " + word};
        }
        if (next + 1 >= words.size()) {
            throw usage_error_t{"option " + word + " needs a value"};
        }
        const std::string& value = words[++next];
        if (word == "--timeout") {
            line.timeout = parse_timeout(value);
        } else if (value.empty()) {
            throw usage_error_t{"--socket needs a path"};
        } else {
            line.socket_path = value;
        }
    }
    if (next >= words.size()) {
        throw usage_error_t{"missing command"};
    }
    parse_command(words[next], std::vector<std::string>(words.begin() + next + 1, words.end()), line);
    return line;
}

}  // namespace client
