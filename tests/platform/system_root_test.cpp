#include "platform/system_root.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct root_case_t {
    const char* value;
    bool accepted;
};

TEST(SystemRoot, AcceptsOnlyAnExistingAbsoluteDirectory) {
    const root_case_t cases[] = {
        {"", true},     {"/tmp", true},          {"/tmp/", true},
        {"tmp", false}, {"/no/such/dir", false}, {"/etc/passwd", false},
    };
    for (const auto& c : cases) {
        setenv("QUORVIX_SYSTEM_ROOT", c.value, 1);
        EXPECT_EQ(!platform::load_system_root_from_environment().has_value(), c.accepted) << c.value;
    }
    unsetenv("QUORVIX_SYSTEM_ROOT");
    platform::set_system_root({});
}

TEST(SystemRoot, PrefixesFixedPathsWithoutDoublingSlashes) {
    platform::set_system_root("/tmp/sandbox/");
    EXPECT_EQ(platform::system_path("/bin/ps"), "/tmp/sandbox/bin/ps");
    platform::set_system_root({});
    EXPECT_EQ(platform::system_path("/bin/ps"), "/bin/ps");
}

}  // namespace
