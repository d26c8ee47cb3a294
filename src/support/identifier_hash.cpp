#include "support/identifier_hash.h"

#include <xxhash.h>

#include <cstdint>

namespace support {
namespace {

constexpr XXH32_hash_t kLowSeed = 19;
constexpr XXH32_hash_t kHighSeed = 47;

void append_hex_bytes_lowest_first(std::uint32_t value, std::string& out) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (int byte = 0; byte < 4; ++byte) {
        const unsigned bits = (value >> (8 * byte)) & 0xffU;
        out += kDigits[bits >> 4];
        out += kDigits[bits & 0xfU];
    }
}

}  // namespace

std::string identifier_hash(const string_t& prefix, const string_t& name) {
    const string_t key = prefix + "x86" + name;
    // The 64-bit value high:low written least significant byte first.
    std::string identifier;
    identifier.reserve(16);
    append_hex_bytes_lowest_first(XXH32(key.c_str(), key.length(), kLowSeed), identifier);
    append_hex_bytes_lowest_first(XXH32(key.c_str(), key.length(), kHighSeed), identifier);
    return identifier;
}

}  // namespace support
