#include "support/string.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "support/exception.h"

namespace support {
namespace {

// The length must fit the 32-bit field with room for the NUL.
constexpr std::size_t kMaxLength = std::numeric_limits<std::uint32_t>::max() - 1;

}  // namespace

string_t::chars_t string_t::allocate(std::size_t length) {
    if (length > kMaxLength) {
        throw base::out_of_memory_exception_t();
    }
    chars_t chars(static_cast<char*>(std::malloc(length + 1)));
    if (!chars) {
        throw base::out_of_memory_exception_t();
    }
    chars.get()[length] = '\0';
    return chars;
}

string_t::string_t() : chars_(allocate(0)) {}

string_t::string_t(const char* text) : string_t(std::string_view(text == nullptr ? "" : text)) {}

string_t::string_t(const char* text, std::uint32_t length) : string_t(std::string_view(text, length)) {}

string_t::string_t(std::string_view text) : chars_(allocate(text.size())) {
    length_ = static_cast<std::uint32_t>(text.size());
    std::memcpy(chars_.get(), text.data(), text.size());
}

string_t::string_t(const string_t& other) : string_t(other.view()) {}

string_t& string_t::operator=(const string_t& other) {
    if (this != &other) {
        string_t copy(other);
        swap(copy);
    }
    return *this;
}

char string_t::at(std::uint32_t idx) const {
    if (idx > length_) {
        char value[16];
        std::snprintf(value, sizeof value, "%u", static_cast<unsigned>(idx));
        throw base::invalid_argument_exception_t(value, "idx");
    }
    return chars_.get()[idx];
}

string_t& string_t::append(std::string_view tail) {
    const std::size_t total = std::size_t{length_} + tail.size();
    chars_t chars = allocate(total);
    std::memcpy(chars.get(), chars_.get(), length_);
    std::memcpy(chars.get() + length_, tail.data(), tail.size());
    chars_ = std::move(chars);
    length_ = static_cast<std::uint32_t>(total);
    return *this;
}

string_t string_t::substr(std::uint32_t start, std::uint32_t length) const {
    if (start >= length_) {
        return {};
    }
    const std::uint32_t available = length_ - start;
    return string_t(chars_.get() + start, length < available ? length : available);
}

void string_t::swap(string_t& other) noexcept {
    std::swap(length_, other.length_);
    chars_.swap(other.chars_);
}

string_t operator+(const string_t& head, const string_t& tail) {
    string_t sum(head);
    sum.append(tail.view());
    return sum;
}

string_t operator+(const string_t& head, const char* tail) {
    return head + string_t(tail);
}

}  // namespace support
