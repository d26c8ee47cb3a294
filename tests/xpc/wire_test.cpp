#include "platform/xpc/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace platform::xpc {
namespace {

constexpr std::array<method_signature_t, 3> kMethods = {{
    {"everything:reply:", "Bci@D", 'B'},
    {"name:reply:", "@", '@'},
    {"ping:", "", 'i'},
}};

using data_t = std::optional<std::vector<std::uint8_t>>;
using text_t = std::optional<std::string>;

bytes_t everything_request(std::uint64_t call_id, std::string text) {
    const std::vector<value_t> arguments = {true, static_cast<signed char>(-3), std::int32_t{7},
                                            text_t{std::move(text)}, data_t{{1, 2}}};
    return encode_request(call_id, "everything:reply:", arguments);
}

TEST(WireCodec, RequestRoundTripKeepsEveryValue) {
    const std::vector<std::vector<value_t>> cases = {
        {true, static_cast<signed char>(-128), std::int32_t{-2147483647 - 1}, text_t{""},
         data_t{std::vector<std::uint8_t>{}}},
        {false, static_cast<signed char>(127), std::int32_t{2147483647},
         text_t{"gr\xc3\xbc\xc3\x9f \xf0\x9f\x99\x82"}, data_t{{0, 0, 255}}},
        {true, static_cast<signed char>(1), std::int32_t{0}, text_t{}, data_t{}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto decoded = decode_request(encode_request(40 + i, "everything:reply:", cases[i]), kMethods);
        ASSERT_TRUE(decoded) << "case " << i << ": " << decoded.error();
        EXPECT_EQ(decoded->call_id, 40 + i);
        EXPECT_EQ(decoded->method, &kMethods[0]);
        EXPECT_EQ(decoded->arguments, cases[i]) << "case " << i;
    }
}

TEST(WireCodec, ReplyAndHelloRoundTrip) {
    const std::vector<std::pair<char, value_t>> replies = {
        {'B', true},           {'B', false},    {'i', std::int32_t{-5}},
        {'@', text_t{"2.26"}}, {'@', text_t{}}, {'D', data_t{{9}}},
    };
    for (const auto& [type, value] : replies) {
        const auto decoded = decode_reply(encode_reply(77, value), type);
        ASSERT_TRUE(decoded) << type << ": " << decoded.error();
        EXPECT_EQ(decoded->call_id, 77u);
        EXPECT_EQ(decoded->value, value);
    }
    hello_nonce_t nonce{};
    for (std::size_t i = 0; i < nonce.size(); ++i) {
        nonce[i] = static_cast<std::uint8_t>(i * 17);
    }
    EXPECT_EQ(decode_hello(encode_hello(nonce)).value(), nonce);
    EXPECT_EQ(decode_hello_echo(encode_hello_echo(nonce)).value(), nonce);
    // A hello is not an echo: the service must not accept its own hello reflected back.
    EXPECT_FALSE(decode_hello_echo(encode_hello(nonce)));
    EXPECT_EQ(decode_header(encode_hello(nonce))->kind, message_kind_t::hello);
}

// Replaces the bytes at `offset` in a copy of `message`.
bytes_t patched(bytes_t message, std::size_t offset, std::vector<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), message.begin() + static_cast<std::ptrdiff_t>(offset));
    return message;
}

bytes_t with_tail(bytes_t message, std::vector<std::uint8_t> tail) {
    message.insert(message.end(), tail.begin(), tail.end());
    return message;
}

bytes_t name_request(std::string_view text) {
    const std::vector<value_t> arguments = {text_t{std::string(text)}};
    return encode_request(1, "name:reply:", arguments);
}

TEST(WireCodec, RefusesMalformedRequestsWithReason) {
    const bytes_t good = everything_request(5, "abc");
    // Offsets: header 16, selector length 2, "everything:reply:" 17, count 1, then B at 36.
    constexpr std::size_t kFirstValue = 16 + 2 + 17 + 1;
    struct case_t {
        const char* name;
        bytes_t message;
        const char* reason;
    };
    const std::vector<case_t> cases = {
        {"over the size limit", with_tail(good, std::vector<std::uint8_t>(kMaxMessageSize, 0)),
         "larger than 65536"},
        {"wrong magic", patched(good, 3, {'2'}), "wrong magic"},
        {"reply kind", patched(good, 4, {2}), "message kind 2, expected 1"},
        {"unknown kind", patched(good, 4, {9}), "message kind 9"},
        {"reserved byte", patched(good, 5, {1}), "reserved"},
        {"reserved word", patched(good, 7, {1}), "reserved"},
        {"shorter than header", bytes_t(good.begin(), good.begin() + 10), "shorter than its header"},
        {"unknown selector", encode_request(1, "everything:reply", {}), "unknown selector"},
        {"selector cut", bytes_t(good.begin(), good.begin() + 20), "selector is truncated"},
        {"wrong count", patched(good, kFirstValue - 1, {4}), "argument count 4, expected 5"},
        {"wrong type", patched(good, kFirstValue + 2, {'i'}), "argument 2 has type i, expected c"},
        {"unknown type code", patched(good, kFirstValue, {0x01}), "argument 1 has type 0x01, expected B"},
        {"nil for bool", patched(good, kFirstValue, {'N'}), "argument 1 is nil, expected B"},
        {"bool out of range", patched(good, kFirstValue + 1, {2}), "argument 1 is not a boolean"},
        {"trailing bytes", with_tail(good, {0}), "trailing bytes"},
        {"truncated value", bytes_t(good.begin(), good.end() - 1), "argument 5 is truncated"},
        {"string length past end", patched(name_request("abc"), 16 + 2 + 11 + 1 + 1, {0xff, 0xff, 0, 0}),
         "argument 1 is truncated"},
        {"NUL in string", name_request(std::string_view("a\0b", 3)), "NUL"},
        {"overlong UTF-8", name_request("\xc0\xaf"), "invalid UTF-8"},
        {"UTF-16 surrogate", name_request("\xed\xa0\x80"), "invalid UTF-8"},
        {"cut UTF-8 sequence", name_request("ab\xe2\x82"), "invalid UTF-8"},
        {"past U+10FFFF", name_request("\xf4\x90\x80\x80"), "invalid UTF-8"},
        {"empty", bytes_t{}, "shorter than its header"},
    };
    for (const auto& c : cases) {
        const auto decoded = decode_request(c.message, kMethods);
        ASSERT_FALSE(decoded) << c.name;
        EXPECT_NE(decoded.error().find(c.reason), std::string_view::npos)
            << c.name << ": got \"" << decoded.error() << "\"";
    }
}

TEST(WireCodec, SizeLimitIsExactly65536Bytes) {
    const bytes_t empty = name_request("");
    const std::size_t room = kMaxMessageSize - empty.size();
    const bytes_t largest = name_request(std::string(room, 'x'));
    ASSERT_EQ(largest.size(), kMaxMessageSize);
    EXPECT_TRUE(decode_request(largest, kMethods));
    EXPECT_FALSE(decode_request(name_request(std::string(room + 1, 'x')), kMethods));
}

TEST(WireCodec, RefusesMalformedRepliesAndHellos) {
    const hello_nonce_t nonce{};
    const bytes_t true_reply = encode_reply(1, true);
    struct case_t {
        const char* name;
        bytes_t message;
        char reply_type;
    };
    const std::vector<case_t> replies = {
        {"nil for bool", encode_reply(1, text_t{}), 'B'},
        {"string for int", encode_reply(1, text_t{"7"}), 'i'},
        {"int for bool", encode_reply(1, std::int32_t{1}), 'B'},
        {"trailing bytes", with_tail(encode_reply(1, true), {0}), 'B'},
        {"no value", bytes_t(true_reply.begin(), true_reply.begin() + kHeaderSize), 'B'},
        {"request kind", encode_request(1, "ping:", {}), 'i'},
    };
    for (const auto& c : replies) {
        EXPECT_FALSE(decode_reply(c.message, c.reply_type)) << c.name;
    }
    EXPECT_FALSE(decode_hello(with_tail(encode_hello(nonce), {0})));
    const bytes_t hello = encode_hello(nonce);
    EXPECT_FALSE(decode_hello(bytes_t(hello.begin(), hello.end() - 1)));
}

TEST(WireCodec, Utf8ValidatorAcceptsEveryEncodingLengthAndRejectsFaults) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"plain", true},
        {"\xc2\x80", true},               // U+0080, smallest two-byte
        {"\xef\xbf\xbf", true},           // U+FFFF
        {"\xf4\x8f\xbf\xbf", true},       // U+10FFFF, the last code point
        {"\xe0\x80\x80", false},          // overlong three-byte zero
        {"\xf0\x80\x80\x80", false},      // overlong four-byte zero
        {"\x80", false},                  // lone continuation byte
        {"\xf8\x88\x80\x80\x80", false},  // five-byte form
        {"\xc3(", false},                 // lead byte without continuation
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(is_valid_utf8(text), valid) << testing::PrintToString(text);
    }
}

}  // namespace
}  // namespace platform::xpc
