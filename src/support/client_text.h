#pragma once
// Texts that come from a client (namespaces, paths, user names, texts read from a client's bundle),
// bounded for the records that show them.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace support {

// The application's paths and namespaces are far shorter; a longer text would only fill the trace.
inline constexpr std::size_t kClientTextLimit = 256;

// A client's text as a record shows it: its first whole characters, up to any NUL, whose escaped form
// (as the record escapes them) takes at most kClientTextLimit bytes, followed, when anything was left
// out, by a mark with the text's full length. So a text of escapes cannot push the fields after it out
// of the record. Made inside the record call, so that it lives as long as the call:
// `trace_info(trace, "bundle %s", client_text_t(path).c_str())`.
class client_text_t {
public:
    explicit client_text_t(std::string_view text) noexcept;
    explicit client_text_t(const std::string& text) noexcept : client_text_t(std::string_view(text)) {}
    // "(null)" for an absent text, as printf shows a null string.
    explicit client_text_t(const std::optional<std::string>& text) noexcept;
    explicit client_text_t(const char* text) noexcept;

    [[nodiscard]] const char* c_str() const noexcept { return text_; }

private:
    char text_[kClientTextLimit + 32];
};

}  // namespace support
