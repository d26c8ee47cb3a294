#pragma once
// Stand-in for the XPC message format: the QVX1 codec. One SOCK_SEQPACKET datagram is one message,
// little-endian, "QVX1" | u8 kind | u8 0 | u16 0 | u64 call id, then the body of its kind.
// Pure functions: the decoder sees untrusted bytes and is fuzzed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::xpc {

inline constexpr std::size_t kMaxMessageSize = 65536;
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kHelloNonceSize = 16;

enum class message_kind_t : std::uint8_t { request = 1, reply = 2, hello = 3, hello_echo = 4 };

using bytes_t = std::vector<std::uint8_t>;
using hello_nonce_t = std::array<std::uint8_t, kHelloNonceSize>;

// One argument or reply value. Type codes: 'B' bool, 'c' signed char, 'i' int32, '@' string or nil,
// 'D' data or nil. Nil travels as 'N' and is accepted only where '@' or 'D' is declared.
using value_t = std::variant<bool, signed char, std::int32_t, std::optional<std::string>,
                             std::optional<std::vector<std::uint8_t>>>;

// The declared type code of a value ('@' and 'D' also for nil).
[[nodiscard]] char type_code(const value_t& value);
// A nil string or data value.
[[nodiscard]] bool is_nil(const value_t& value);

// One method of an exported interface: its full selector text, argument type codes in order and the
// type code of its reply.
struct method_signature_t {
    std::string_view selector;
    std::string_view argument_types;
    char reply_type;
};
using interface_t = std::span<const method_signature_t>;

struct header_t {
    message_kind_t kind;
    std::uint64_t call_id;
};

struct request_t {
    std::uint64_t call_id = 0;
    const method_signature_t* method = nullptr;  // points into the interface it was decoded against
    std::vector<value_t> arguments;
};

struct reply_message_t {
    std::uint64_t call_id = 0;
    value_t value;
};

// A decoded message, or the reason it was refused ("unknown selector", "trailing bytes", ...).
template <typename T>
class [[nodiscard]] decoded_t {
public:
    decoded_t(T value) : outcome_(std::move(value)) {}  // NOLINT: implicit by design
    [[nodiscard]] static decoded_t failure(std::string reason) {
        return decoded_t(failure_tag_t{}, std::move(reason));
    }

    [[nodiscard]] bool ok() const { return outcome_.index() == 0; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const T& value() const& { return std::get<0>(outcome_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(outcome_)); }
    [[nodiscard]] const T* operator->() const { return &std::get<0>(outcome_); }
    // Empty when ok().
    [[nodiscard]] std::string_view error() const {
        return ok() ? std::string_view{} : std::string_view{std::get<1>(outcome_)};
    }

private:
    struct failure_tag_t {};
    decoded_t(failure_tag_t, std::string reason) : outcome_(std::in_place_index<1>, std::move(reason)) {}
    std::variant<T, std::string> outcome_;
};

// Encoders. A request's arguments are written with their own type codes; the receiver checks them.
[[nodiscard]] bytes_t encode_request(std::uint64_t call_id, std::string_view selector,
                                     std::span<const value_t> arguments);
[[nodiscard]] bytes_t encode_reply(std::uint64_t call_id, const value_t& value);
[[nodiscard]] bytes_t encode_hello(const hello_nonce_t& nonce);
[[nodiscard]] bytes_t encode_hello_echo(const hello_nonce_t& nonce);

// Decoders. Each rejects messages over kMaxMessageSize, a wrong magic, kind or reserved field,
// truncated values and trailing bytes.
[[nodiscard]] decoded_t<header_t> decode_header(std::span<const std::uint8_t> message);
// The selector must be in `exported`, and count and type of every argument must match its signature.
[[nodiscard]] decoded_t<request_t> decode_request(std::span<const std::uint8_t> message,
                                                  interface_t exported);
[[nodiscard]] decoded_t<reply_message_t> decode_reply(std::span<const std::uint8_t> message, char reply_type);
[[nodiscard]] decoded_t<hello_nonce_t> decode_hello(std::span<const std::uint8_t> message);
[[nodiscard]] decoded_t<hello_nonce_t> decode_hello_echo(std::span<const std::uint8_t> message);

// True for valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text);

}  // namespace platform::xpc
