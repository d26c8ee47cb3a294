#pragma once
// Decoding check for captured tool output: bytes that are not well-formed UTF-8 give no string.

#include <string_view>

namespace commands {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

}  // namespace commands
