#include "support/client_text.h"

#include <cstdio>
#include <cstring>

#include "support/trace_format.h"

namespace support {

client_text_t::client_text_t(std::string_view text) noexcept {
    // A NUL would end the text unseen in the record.
    const std::string_view visible = text.substr(0, text.find('\0'));
    // Whole characters while their escaped form, as the record shows them, stays within the limit.
    std::size_t shown = 0;
    std::size_t escaped = 0;
    while (shown < visible.size()) {
        const trace_character_t character = escape_trace_character(visible.substr(shown));
        if (escaped + character.size > kClientTextLimit) {
            break;
        }
        escaped += character.size;
        shown += character.taken;
    }
    std::memcpy(text_, text.data(), shown);
    text_[shown] = '\0';
    if (shown < text.size()) {
        std::snprintf(text_ + shown, sizeof text_ - shown, "... [cut, %zu bytes]", text.size());
    }
}

client_text_t::client_text_t(const std::optional<std::string>& text) noexcept
    : client_text_t(text ? std::string_view(*text) : std::string_view("(null)")) {}

client_text_t::client_text_t(const char* text) noexcept
    : client_text_t(text != nullptr ? std::string_view(text) : std::string_view("(null)")) {}

}  // namespace support
