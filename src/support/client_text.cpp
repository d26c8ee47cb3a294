#include "support/client_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace support {

client_text_t::client_text_t(std::string_view text) noexcept {
    std::size_t shown = std::min(text.size(), kClientTextLimit);
    if (shown < text.size()) {
        // Back to the start of the character that the limit falls into.
        while (shown > 0 && (static_cast<unsigned char>(text[shown]) & 0xc0U) == 0x80U) {
            --shown;
        }
    }
    // A NUL would end the text unseen in the record.
    if (const std::size_t nul = text.substr(0, shown).find('\0'); nul != std::string_view::npos) {
        shown = nul;
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
