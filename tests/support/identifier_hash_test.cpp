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

TEST(IdentifierHash, PrefixAndNameBothCount) {
    const std::string base = support::identifier_hash("qv", "7010_gsystem_shm");
    EXPECT_NE(support::identifier_hash("qw", "7010_gsystem_shm"), base);
    EXPECT_NE(support::identifier_hash("qv", "7010_gsystem_shn"), base);
    // Swapping text between prefix and name changes the key, since "x86" lies between them.
    EXPECT_NE(support::identifier_hash("qv7", "010_gsystem_shm"), base);
}

}  // namespace
