#pragma once
// A short fixed-length name for a long readable one, the same in every process and on every machine;
// used to name the application's shared-memory objects.

#include <string>

#include "support/string.h"

namespace support {

// 16 lowercase hex digits from XXH32 of prefix + "x86" + name under seeds 19 and 47.
[[nodiscard]] std::string identifier_hash(const string_t& prefix, const string_t& name);

}  // namespace support
