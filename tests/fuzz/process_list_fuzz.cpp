// Feeds arbitrary process-list output to the parser. Whatever it accepts must be safe to signal: a
// positive pid that is the value of its own decimal text, and an executable that ends with the marker.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "commands/process_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view output(reinterpret_cast<const char*>(data), size);
    auto list = commands::parse_process_list(output);
    for (const auto& record : list.records) {
        const std::string digits =
            record.pid.substr(std::min(record.pid.find_first_not_of('0'), record.pid.size()));
        const bool decimal = !digits.empty() && digits.size() < 19 &&
                             digits.find_first_not_of("0123456789") == std::string::npos;
        if (record.process_id <= 0 || !decimal || std::stoll(digits) != record.process_id ||
            !record.exe.ends_with(commands::kExecutableMarker) ||
            (!record.arg.empty() && !record.arg.starts_with("--"))) {
            std::abort();
        }
    }
    commands::sort_by_role(list.records);
    for (std::size_t i = 1; i < list.records.size(); ++i) {
        if (commands::role_position(list.records[i - 1].arg) > commands::role_position(list.records[i].arg)) {
            std::abort();
        }
    }
    return 0;
}
