#include "core/request_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

TEST(RequestTable, EveryRowIsAWellFormedSelectorWithOneArgumentPerPartBeforeTheReply) {
    std::set<std::string_view> selectors;
    for (const auto& spec : core::kRequests) {
        EXPECT_TRUE(selectors.insert(spec.selector).second) << "duplicate " << spec.selector;
        // Each part of a selector takes one argument; the last one is the reply block.
        const auto parts = static_cast<std::size_t>(std::count(spec.selector.begin(), spec.selector.end(), ':'));
        EXPECT_EQ(parts, spec.argument_types.size() + 1) << spec.selector;
        EXPECT_EQ(spec.selector.back(), ':') << spec.selector;
        EXPECT_EQ(spec.argument_types.find_first_not_of("Bci@D"), std::string_view::npos) << spec.selector;
        EXPECT_NE(std::string_view("Bi@").find(spec.reply_type), std::string_view::npos) << spec.selector;
        EXPECT_EQ(core::request_for_selector(spec.selector), spec.id);
    }
    EXPECT_EQ(selectors.size(), 18u);
    EXPECT_FALSE(core::request_for_selector("get_version_with_reply"));
}

}  // namespace
