#include <gtest/gtest.h>

#include "admission_requirement.h"
#include "platform/codesign/codesign.h"
#include "platform/codesign/requirement_evaluator.h"
#include "platform/codesign/requirement_parser.h"

namespace {

using namespace platform;
using namespace platform::codesign;

TEST(Requirement, CompilesTheLanguageItSupports) {
    const std::string valid[] = {
        codesign_test::admission_requirement(),
        "identifier com.example.tool",
        "identifier \"with \\\"quotes\\\" and blanks\"",
        "anchor apple generic",
        "/* lead */ anchor /* mid */ apple generic /* tail */",
        "certificate 0[field.1.2.3]",
        "certificate root[subject.CN] = \"Quorvix Test Root CA\"",
        "certificate 2[subject.O] = Trellwick",
        "!identifier a",
        "!!identifier a",
        "(identifier a or identifier b) and !(anchor apple generic)",
        "((((identifier a))))",
        "identifier a\tand\nidentifier b",
    };
    for (const auto& text : valid) {
        std::unique_ptr<requirement_t> requirement;
        EXPECT_EQ(create_requirement_with_string(text, requirement), errSecSuccess) << text;
        EXPECT_NE(requirement, nullptr) << text;
    }
}

TEST(Requirement, RefusesTextOutsideTheLanguage) {
    const std::string invalid[] = {
        "",
        "   /* only a comment */ ",
        "identifier",
        "identifier and",
        "identifier \"unterminated",
        "identifier a /* unterminated comment",
        "identifier a // line comments are not ours",
        "(identifier a",
        "identifier a)",
        "()",
        "identifier a and",
        "or identifier a",
        "identifier a identifier b",
        "anchor apple",
        "anchor trusted",
        "info[CFBundleVersion] = 1",
        "entitlement[\"x\"] exists",
        "certificate leaf[field.1.2.3] exists",
        "certificate leaf[field.3.2]",
        "certificate leaf[field.1]",
        "certificate leaf[field.1..2]",
        "certificate leaf[field.1.02]",
        "certificate leaf[field.name]",
        "certificate leaf[subject.C] = US",
        "certificate leaf[subject.OU]",
        "certificate leaf[subject.OU] = and",
        "certificate -1[subject.OU] = x",
        "certificate 99[subject.OU] = x",
        "certificate leaf[subject.OU = x",
        "cert leaf[subject.OU] = x",
        "identifier a & identifier b",
        std::string("identifier \"a\0b\""),
        std::string(200, '(') + "identifier a" + std::string(200, ')'),
        std::string(200, '!') + "identifier a",
    };
    for (const auto& text : invalid) {
        std::unique_ptr<requirement_t> requirement;
        EXPECT_EQ(create_requirement_with_string(text, requirement), errSecCSReqInvalid) << text;
        EXPECT_EQ(requirement, nullptr) << text;
    }
}

// Identifier clauses alone make the evaluator's logic visible without a certificate chain.
TEST(Requirement, BindsNotTighterThanAndTighterThanOr) {
    struct case_t {
        const char* text;
        bool satisfied;
    };
    const case_t cases[] = {
        {"identifier a or identifier x and identifier y", true},
        {"identifier x and identifier y or identifier a", true},
        {"(identifier a or identifier x) and identifier y", false},
        {"!identifier x and identifier a", true},
        {"!(identifier x or identifier a)", false},
        {"!identifier a or identifier a", true},
        {"!!identifier a", true},
        {"identifier \"a\" /* comments are blanks */ and identifier a", true},
        {"identifier A", false},
        {"anchor apple generic", false},
        {"certificate leaf[subject.OU] = a or identifier a", true},
        {"certificate root[field.1.2.3]", false},
    };
    for (const auto& c : cases) {
        const auto tree = parse_requirement(c.text);
        ASSERT_TRUE(tree.has_value()) << c.text;
        EXPECT_EQ(evaluate_requirement(*tree, {"a", {}, nullptr}), c.satisfied) << c.text;
    }
}

}  // namespace
