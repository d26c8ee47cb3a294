#pragma once
// The support library's own failures: exhausted memory and invalid arguments. Nothing else throws them.

#include <exception>

namespace base {

class exception_t : public std::exception {
public:
    [[nodiscard]] const char* what() const noexcept override { return message_; }

protected:
    explicit exception_t(const char* message) noexcept;
    // Fills the message from one of the "%S" texts below; a message too long for the buffer is cut.
    exception_t(const char* format, const char* first, const char* second) noexcept;

private:
    // A fixed buffer, so that raising an exception never needs the heap that may have run out.
    char message_[512] = {};
};

class out_of_memory_exception_t : public exception_t {
public:
    out_of_memory_exception_t() noexcept;
};

class invalid_argument_exception_t : public exception_t {
public:
    invalid_argument_exception_t() noexcept;
    explicit invalid_argument_exception_t(const char* parameter) noexcept;
    invalid_argument_exception_t(const char* value, const char* parameter) noexcept;
};

}  // namespace base
