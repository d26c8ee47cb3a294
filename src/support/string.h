#pragma once
// The support library's text: a 32-bit length and an owned, NUL-terminated array that is never absent.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace support {

class string_t {
public:
    string_t();
    // Taken up to the first NUL; a null pointer gives the empty text.
    // Implicit, so that literals can be passed wherever a text is expected.
    string_t(const char* text);
    string_t(const char* text, std::uint32_t length);
    explicit string_t(std::string_view text);
    string_t(const string_t& other);
    string_t& operator=(const string_t& other);
    ~string_t() = default;

    [[nodiscard]] std::uint32_t length() const noexcept { return length_; }
    [[nodiscard]] bool empty() const noexcept { return length_ == 0; }
    [[nodiscard]] const char* c_str() const noexcept { return chars_.get(); }
    [[nodiscard]] std::string_view view() const noexcept { return {chars_.get(), length_}; }

    // The index equal to the length gives the terminating NUL; a larger one throws
    // base::invalid_argument_exception_t naming "idx".
    [[nodiscard]] char at(std::uint32_t idx) const;

    string_t& append(std::string_view tail);
    string_t& append(const string_t& tail) { return append(tail.view()); }
    string_t& operator+=(const string_t& tail) { return append(tail.view()); }
    string_t& operator+=(const char* tail) { return append(string_t(tail).view()); }

    // Start and length are clamped to the text.
    [[nodiscard]] string_t substr(std::uint32_t start, std::uint32_t length) const;

    void swap(string_t& other) noexcept;

    friend string_t operator+(const string_t& head, const string_t& tail);
    friend string_t operator+(const string_t& head, const char* tail);
    friend bool operator==(const string_t& a, const string_t& b) noexcept { return a.view() == b.view(); }

private:
    struct free_deleter_t {
        void operator()(char* chars) const noexcept { std::free(chars); }
    };
    using chars_t = std::unique_ptr<char, free_deleter_t>;

    // Room for `length` characters and the NUL; throws base::out_of_memory_exception_t.
    [[nodiscard]] static chars_t allocate(std::size_t length);

    std::uint32_t length_ = 0;
    chars_t chars_;
};

inline void swap(string_t& a, string_t& b) noexcept {
    a.swap(b);
}

}  // namespace support
