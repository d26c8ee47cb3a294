#include "core/request_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

TEST(RequestTable, EveryRowIsAWellFormedSelectorWithOneArgumentPerPartBeforeTheReply) {
    std::set<std::string_view> selectors;
    for (const auto& row : core::kRequests) {
        EXPECT_TRUE(selectors.insert(row.selector).second) << "duplicate " << row.selector;
        // Each part of a selector takes one argument; the last one is the reply block.
        const auto parts =
            static_cast<std::size_t>(std::count(row.selector.begin(), row.selector.end(), ':'));
        EXPECT_EQ(parts, row.argument_types.size() + 1) << row.selector;
        EXPECT_EQ(row.selector.back(), ':') << row.selector;
        EXPECT_EQ(row.argument_types.find_first_not_of("Bci@D"), std::string_view::npos) << row.selector;
        EXPECT_NE(std::string_view("Bi@").find(row.reply_type), std::string_view::npos) << row.selector;
        EXPECT_EQ(core::request_for_selector(row.selector), row.id);
    }
    EXPECT_EQ(selectors.size(), 18u);
    EXPECT_FALSE(core::request_for_selector("get_version_with_reply"));
}

}  // namespace
