#include "support/identifier_hash.h"

#include <gtest/gtest.h>

#include "support/product.h"

namespace {

TEST(IdentifierHash, GivesKnownIdentifiers) {
    struct hash_case_t {
        const char* name;
        const char* expected;
    };
    const hash_case_t cases[] = {
        {"7010_gsystem_shm", "0fbafe8c395eaa27"},
        {"", "788e7141a5a7d16f"},
        {"nxipcstobjmtx", "5b5e50900334f266"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(support::identifier_hash(support::kProductPrefix, c.name), c.expected) << "name " << c.name;
    }
}

}  // namespace
