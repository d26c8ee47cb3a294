#include "platform/xpc/wire.h"

#include <algorithm>
#include <cstring>

namespace platform::xpc {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'V', 'X', '1'};
constexpr char kNilCode = 'N';

// Appends little-endian fields to a message under construction.
class writer_t {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u16(std::uint16_t value) { little_endian(value, 2); }
    void u32(std::uint32_t value) { little_endian(value, 4); }
    void u64(std::uint64_t value) { little_endian(value, 8); }
    void raw(const void* data, std::size_t size) {
        const auto* begin = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
    }
    void header(message_kind_t kind, std::uint64_t call_id) {
        raw(kMagic.data(), kMagic.size());
        u8(static_cast<std::uint8_t>(kind));
        u8(0);
        u16(0);
        u64(call_id);
    }
    [[nodiscard]] bytes_t take() { return std::move(bytes_); }

private:
    void little_endian(std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    bytes_t bytes_;
};

// Reads little-endian fields; every read is bounds-checked and a short read leaves the reader failed.
class reader_t {
public:
    explicit reader_t(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    [[nodiscard]] std::optional<std::uint64_t> little_endian(std::size_t size) {
        if (remaining() < size) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            value |= static_cast<std::uint64_t>(bytes_[offset_ + i]) << (8 * i);
        }
        offset_ += size;
        return value;
    }
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> raw(std::size_t size) {
        if (remaining() < size) {
            return std::nullopt;
        }
        auto part = bytes_.subspan(offset_, size);
        offset_ += size;
        return part;
    }
    [[nodiscard]] std::size_t remaining() const { return bytes_.size() - offset_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

void write_value(writer_t& out, const value_t& value) {
    if (is_nil(value)) {
        out.u8(kNilCode);
        return;
    }
    out.u8(static_cast<std::uint8_t>(type_code(value)));
    if (const auto* flag = std::get_if<bool>(&value)) {
        out.u8(*flag ? 1 : 0);
    } else if (const auto* small = std::get_if<signed char>(&value)) {
        out.u8(static_cast<std::uint8_t>(*small));
    } else if (const auto* number = std::get_if<std::int32_t>(&value)) {
        out.u32(static_cast<std::uint32_t>(*number));
    } else if (const auto* text = std::get_if<std::optional<std::string>>(&value)) {
        out.u32(static_cast<std::uint32_t>((*text)->size()));
        out.raw((*text)->data(), (*text)->size());
    } else if (const auto* data = std::get_if<std::optional<std::vector<std::uint8_t>>>(&value)) {
        out.u32(static_cast<std::uint32_t>((*data)->size()));
        out.raw((*data)->data(), (*data)->size());
    }
}

std::string describe_code(std::uint8_t code) {
    if (code >= 0x21 && code < 0x7f) {
        return std::string(1, static_cast<char>(code));
    }
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string("0x") + kHex[code >> 4] + kHex[code & 0xf];
}

// Reads one value that must have the declared type; `what` names it in the reason ("argument 2").
decoded_t<value_t> read_value(reader_t& in, char declared, const std::string& what) {
    const auto code = in.little_endian(1);
    if (!code) {
        return decoded_t<value_t>::failure(what + " is truncated");
    }
    const auto actual = static_cast<std::uint8_t>(*code);
    if (actual == kNilCode) {
        if (declared == '@') {
            return value_t{std::optional<std::string>{}};
        }
        if (declared == 'D') {
            return value_t{std::optional<std::vector<std::uint8_t>>{}};
        }
        return decoded_t<value_t>::failure(what + " is nil, expected " + std::string(1, declared));
    }
    if (actual != static_cast<std::uint8_t>(declared)) {
        return decoded_t<value_t>::failure(what + " has type " + describe_code(actual) + ", expected " +
                                           std::string(1, declared));
    }
    const std::string truncated = what + " is truncated";
    switch (declared) {
        case 'B': {
            const auto flag = in.little_endian(1);
            if (!flag) {
                return decoded_t<value_t>::failure(truncated);
            }
            if (*flag > 1) {
                return decoded_t<value_t>::failure(what + " is not a boolean 0 or 1");
            }
            return value_t{*flag == 1};
        }
        case 'c': {
            const auto small = in.little_endian(1);
            if (!small) {
                return decoded_t<value_t>::failure(truncated);
            }
            return value_t{static_cast<signed char>(static_cast<std::uint8_t>(*small))};
        }
        case 'i': {
            const auto number = in.little_endian(4);
            if (!number) {
                return decoded_t<value_t>::failure(truncated);
            }
            return value_t{static_cast<std::int32_t>(static_cast<std::uint32_t>(*number))};
        }
        case '@':
        case 'D': {
            const auto length = in.little_endian(4);
            if (!length) {
                return decoded_t<value_t>::failure(truncated);
            }
            const auto body = in.raw(*length);
            if (!body) {
                return decoded_t<value_t>::failure(truncated);
            }
            if (declared == 'D') {
                return value_t{
                    std::optional<std::vector<std::uint8_t>>{std::in_place, body->begin(), body->end()}};
            }
            std::string text(body->begin(), body->end());
            if (text.find('\0') != std::string::npos) {
                return decoded_t<value_t>::failure(what + " has a NUL inside its string");
            }
            if (!is_valid_utf8(text)) {
                return decoded_t<value_t>::failure(what + " is invalid UTF-8");
            }
            return value_t{std::optional<std::string>{std::move(text)}};
        }
        default:
            return decoded_t<value_t>::failure(what + " has an undeclarable type " +
                                               std::string(1, declared));
    }
}

// The header, with the kind the message must have.
decoded_t<header_t> read_header(reader_t& in, std::size_t size, message_kind_t expected) {
    if (size > kMaxMessageSize) {
        return decoded_t<header_t>::failure("message larger than 65536 bytes");
    }
    const auto magic = in.raw(kMagic.size());
    if (!magic) {
        return decoded_t<header_t>::failure("message shorter than its header");
    }
    if (!std::equal(magic->begin(), magic->end(), kMagic.begin())) {
        return decoded_t<header_t>::failure("wrong magic");
    }
    const auto kind = in.little_endian(1);
    const auto reserved_byte = in.little_endian(1);
    const auto reserved_word = in.little_endian(2);
    const auto call_id = in.little_endian(8);
    if (!kind || !reserved_byte || !reserved_word || !call_id) {
        return decoded_t<header_t>::failure("message shorter than its header");
    }
    if (*reserved_byte != 0 || *reserved_word != 0) {
        return decoded_t<header_t>::failure("reserved header fields are not zero");
    }
    if (*kind != static_cast<std::uint8_t>(expected)) {
        return decoded_t<header_t>::failure("message kind " + std::to_string(*kind) + ", expected " +
                                            std::to_string(static_cast<int>(expected)));
    }
    return header_t{expected, *call_id};
}

decoded_t<hello_nonce_t> decode_nonce_message(std::span<const std::uint8_t> message, message_kind_t kind) {
    reader_t in(message);
    const auto header = read_header(in, message.size(), kind);
    if (!header) {
        return decoded_t<hello_nonce_t>::failure(std::string(header.error()));
    }
    const auto body = in.raw(kHelloNonceSize);
    if (!body) {
        return decoded_t<hello_nonce_t>::failure("hello nonce is truncated");
    }
    if (in.remaining() != 0) {
        return decoded_t<hello_nonce_t>::failure("trailing bytes");
    }
    hello_nonce_t nonce{};
    std::copy(body->begin(), body->end(), nonce.begin());
    return nonce;
}

bytes_t encode_nonce_message(const hello_nonce_t& nonce, message_kind_t kind) {
    writer_t out;
    out.header(kind, 0);
    out.raw(nonce.data(), nonce.size());
    return out.take();
}

}  // namespace

char type_code(const value_t& value) {
    static constexpr char kCodes[] = {'B', 'c', 'i', '@', 'D'};
    return kCodes[value.index()];
}

bool is_nil(const value_t& value) {
    if (const auto* text = std::get_if<std::optional<std::string>>(&value)) {
        return !text->has_value();
    }
    if (const auto* data = std::get_if<std::optional<std::vector<std::uint8_t>>>(&value)) {
        return !data->has_value();
    }
    return false;
}

bytes_t encode_request(std::uint64_t call_id, std::string_view selector, std::span<const value_t> arguments) {
    writer_t out;
    out.header(message_kind_t::request, call_id);
    out.u16(static_cast<std::uint16_t>(selector.size()));
    out.raw(selector.data(), selector.size());
    out.u8(static_cast<std::uint8_t>(arguments.size()));
    for (const auto& argument : arguments) {
        write_value(out, argument);
    }
    return out.take();
}

bytes_t encode_reply(std::uint64_t call_id, const value_t& value) {
    writer_t out;
    out.header(message_kind_t::reply, call_id);
    write_value(out, value);
    return out.take();
}

bytes_t encode_hello(const hello_nonce_t& nonce) {
    return encode_nonce_message(nonce, message_kind_t::hello);
}

bytes_t encode_hello_echo(const hello_nonce_t& nonce) {
    return encode_nonce_message(nonce, message_kind_t::hello_echo);
}

decoded_t<header_t> decode_header(std::span<const std::uint8_t> message) {
    if (message.size() > kMaxMessageSize) {
        return decoded_t<header_t>::failure("message larger than 65536 bytes");
    }
    if (message.size() < kHeaderSize) {
        return decoded_t<header_t>::failure("message shorter than its header");
    }
    const auto kind = message[kMagic.size()];
    if (kind < static_cast<std::uint8_t>(message_kind_t::request) ||
        kind > static_cast<std::uint8_t>(message_kind_t::hello_echo)) {
        return decoded_t<header_t>::failure("unknown message kind " + std::to_string(kind));
    }
    reader_t in(message);
    return read_header(in, message.size(), static_cast<message_kind_t>(kind));
}

decoded_t<request_t> decode_request(std::span<const std::uint8_t> message, interface_t exported) {
    using result_t = decoded_t<request_t>;
    reader_t in(message);
    const auto header = read_header(in, message.size(), message_kind_t::request);
    if (!header) {
        return result_t::failure(std::string(header.error()));
    }
    const auto selector_length = in.little_endian(2);
    const auto selector_bytes = selector_length ? in.raw(*selector_length) : std::nullopt;
    if (!selector_bytes) {
        return result_t::failure("selector is truncated");
    }
    const std::string_view selector(reinterpret_cast<const char*>(selector_bytes->data()),
                                    selector_bytes->size());
    const auto method = std::find_if(exported.begin(), exported.end(),
                                     [&](const method_signature_t& m) { return m.selector == selector; });
    if (method == exported.end()) {
        return result_t::failure("unknown selector");
    }
    const auto count = in.little_endian(1);
    if (!count) {
        return result_t::failure("argument count is truncated");
    }
    if (*count != method->argument_types.size()) {
        return result_t::failure("argument count " + std::to_string(*count) + ", expected " +
                                 std::to_string(method->argument_types.size()));
    }
    request_t request{header->call_id, &*method, {}};
    request.arguments.reserve(method->argument_types.size());
    for (std::size_t i = 0; i < method->argument_types.size(); ++i) {
        auto value = read_value(in, method->argument_types[i], "argument " + std::to_string(i + 1));
        if (!value) {
            return result_t::failure(std::string(value.error()));
        }
        request.arguments.push_back(std::move(value).value());
    }
    if (in.remaining() != 0) {
        return result_t::failure("trailing bytes");
    }
    return request;
}

decoded_t<reply_message_t> decode_reply(std::span<const std::uint8_t> message, char reply_type) {
    using result_t = decoded_t<reply_message_t>;
    reader_t in(message);
    const auto header = read_header(in, message.size(), message_kind_t::reply);
    if (!header) {
        return result_t::failure(std::string(header.error()));
    }
    auto value = read_value(in, reply_type, "reply value");
    if (!value) {
        return result_t::failure(std::string(value.error()));
    }
    if (in.remaining() != 0) {
        return result_t::failure("trailing bytes");
    }
    return reply_message_t{header->call_id, std::move(value).value()};
}

decoded_t<hello_nonce_t> decode_hello(std::span<const std::uint8_t> message) {
    return decode_nonce_message(message, message_kind_t::hello);
}

decoded_t<hello_nonce_t> decode_hello_echo(std::span<const std::uint8_t> message) {
    return decode_nonce_message(message, message_kind_t::hello_echo);
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint32_t code_point = 0;
        std::uint32_t minimum = 0;
        if ((lead & 0xe0) == 0xc0) {
            length = 2, code_point = lead & 0x1f, minimum = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3, code_point = lead & 0x0f, minimum = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4, code_point = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            code_point = (code_point << 6) | (next & 0x3f);
        }
        if (code_point < minimum || code_point > 0x10ffff || (code_point >= 0xd800 && code_point <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace platform::xpc
