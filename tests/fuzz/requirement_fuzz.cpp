// Feeds arbitrary text to the requirement compiler and evaluates whatever compiles.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codesign/requirement_evaluator.h"
#include "platform/codesign/requirement_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform::codesign;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto tree = parse_requirement(text)) {
        (void)evaluate_requirement(*tree, {"com.trellwick.quorvix-qv-00000001", {}, nullptr});
    }
    return 0;
}
