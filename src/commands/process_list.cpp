#include "commands/process_list.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <variant>

#include "commands/utf8.h"

namespace commands {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Digits only, and a value a signal may safely be aimed at: kill() reads 0 and negatives as groups.
std::optional<pid_t> read_pid(std::string_view text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    pid_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
        return std::nullopt;
    }
    return value;
}

std::variant<process_record_t, reject_reason_t> parse_line(std::string_view line) {
    const std::string_view text = trim(line);
    const std::size_t first_blank = text.find(' ');
    if (first_blank == std::string_view::npos) {
        return reject_reason_t::no_blank_after_pid;
    }
    const std::string_view pid_text = text.substr(0, first_blank);
    const std::optional<pid_t> pid = read_pid(pid_text);
    if (!pid) {
        return reject_reason_t::invalid_pid;
    }
    const std::string_view command_line = text.substr(first_blank + 1);
    std::string_view flag = text.substr(text.rfind(' ') + 1);
    if (!flag.starts_with("--")) {
        flag = {};
    }
    // The flag can be the whole command line; then nothing is left for the executable.
    const std::string_view middle = command_line.substr(0, command_line.size() - flag.size());
    const std::size_t marker = middle.rfind(kExecutableMarker);
    if (marker == std::string_view::npos) {
        return reject_reason_t::marker_not_in_executable;
    }
    const std::string_view exe = trim(middle.substr(0, marker + kExecutableMarker.size()));
    return process_record_t{std::string(pid_text), *pid, std::string(flag), std::string(exe)};
}

}  // namespace

process_list_t parse_process_list(std::string_view output) {
    process_list_t list;
    if (!is_valid_utf8(output)) {
        return list;
    }
    std::size_t start = 0;
    while (start <= output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string_view::npos) {
            end = output.size();
        }
        const std::string_view line = output.substr(start, end - start);
        start = end + 1;
        if (line.find(kExecutableMarker) == std::string_view::npos) {
            continue;
        }
        auto parsed = parse_line(line);
        if (auto* record = std::get_if<process_record_t>(&parsed)) {
            list.records.push_back(std::move(*record));
        } else {
            list.rejected.push_back({std::string(trim(line)), std::get<reject_reason_t>(parsed)});
        }
    }
    return list;
}

int role_position(std::string_view flag) {
    const auto found = std::find(kRoleOrder.begin(), kRoleOrder.end(), flag);
    return found == kRoleOrder.end() ? -1 : static_cast<int>(found - kRoleOrder.begin());
}

void sort_by_role(std::vector<process_record_t>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const process_record_t& a, const process_record_t& b) {
                         return role_position(a.arg) < role_position(b.arg);
                     });
}

bool is_error(reject_reason_t reason) {
    return reason == reject_reason_t::invalid_pid;
}

std::string_view describe(reject_reason_t reason) {
    switch (reason) {
        case reject_reason_t::no_blank_after_pid:
            return "no blank after the process identifier";
        case reject_reason_t::invalid_pid:
            return "the process identifier is not a positive number";
        case reject_reason_t::marker_not_in_executable:
            return "the executable path lacks the marker";
    }
    return "unknown";
}

}  // namespace commands
