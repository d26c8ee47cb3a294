#include "support/exception.h"

#include <cstdio>
#include <cstring>

#include "support/trace_format.h"

namespace base {
namespace {

constexpr char kOutOfMemory[] = "The program ran out of memory.";
constexpr char kInvalidArgument[] = "An invalid argument was passed to a function.";
constexpr char kInvalidParameter[] = "An invalid argument was passed as parameter \"%S\".";
constexpr char kInvalidValue[] = "The invalid value \"%S\" was passed as parameter \"%S\".";

}  // namespace

exception_t::exception_t(const char* message) noexcept {
    std::snprintf(message_, sizeof message_, "%s", message);
}

exception_t::exception_t(const char* format, const char* first, const char* second) noexcept {
    char converted[sizeof message_];
    support::copy_format_with_narrow_strings(format, converted, sizeof converted);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(message_, sizeof message_, converted, first, second);
#pragma GCC diagnostic pop
}

out_of_memory_exception_t::out_of_memory_exception_t() noexcept : exception_t(kOutOfMemory) {}

invalid_argument_exception_t::invalid_argument_exception_t() noexcept : exception_t(kInvalidArgument) {}

invalid_argument_exception_t::invalid_argument_exception_t(const char* parameter) noexcept
    : exception_t(kInvalidParameter, parameter, nullptr) {}

invalid_argument_exception_t::invalid_argument_exception_t(const char* value, const char* parameter) noexcept
    : exception_t(kInvalidValue, value, parameter) {}

}  // namespace base
