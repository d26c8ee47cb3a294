#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/xpc/peer_process.h"
#include "xpc/service_fixture.h"

namespace xpc_test {
namespace {

std::size_t entries_in(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

// A connection's thread releases its socket and ends just after its invalidation handler; this gives the
// last ones that moment. Returns the thread count it settled on.
std::size_t wait_for_threads(std::size_t expected) {
    std::size_t threads = 0;
    for (int attempt = 0; attempt < 500; ++attempt) {
        threads = entries_in("/proc/self/task");
        if (threads == expected) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return threads;
}

class XpcListener : public service_fixture_t {};

TEST_F(XpcListener, HundredConnectionsLeaveNoDescriptorOrThreadBehind) {
    int offered = 0;
    // Every third connection is refused, so both paths are counted.
    admit_ = [&](const auto&) { return ++offered % 3 != 0; };
    // The test's own threads and the listener's; a sanitizer may add a thread of its own on the first
    // thread start, so the count after the warm-up connection is the baseline, at most one above this.
    const std::size_t before_listener = entries_in("/proc/self/task") + 1;
    start();
    auto warm_up = connect();
    ASSERT_TRUE(warm_up
                    ->call("add:to:reply:", std::vector<xpc::value_t>{std::int32_t{0}, std::int32_t{0}}, 'i',
                           kPatience)
                    .ok());
    warm_up.reset();
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1; }));
    const std::size_t expected_threads = wait_for_threads(before_listener);
    ASSERT_LE(expected_threads, before_listener + 1);
    const std::size_t descriptors = entries_in("/proc/self/fd");

    int admitted = 0;
    for (int i = 0; i < 100; ++i) {
        auto client = connect();
        const auto result = client->call(
            "add:to:reply:", std::vector<xpc::value_t>{std::int32_t{i}, std::int32_t{1}}, 'i', kPatience);
        if (result.ok()) {
            ++admitted;
            EXPECT_EQ(std::get<std::int32_t>(result.value()), i + 1);
        } else {
            EXPECT_EQ(result.error(), xpc::call_error_t::refused);
        }
    }
    EXPECT_EQ(admitted, 67);
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1 + admitted; }));
    EXPECT_EQ(wait_for_threads(expected_threads), expected_threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
}

TEST_F(XpcListener, DestructionInvalidatesLiveConnections) {
    start();
    auto client = connect();
    ASSERT_EQ(client->handshake(kPatience), std::nullopt);
    ASSERT_TRUE(wait_for([&] { return admitted_.size() == 1; }));
    const std::string path = listener_->socket_path();
    listener_.reset();
    EXPECT_EQ(invalidations_, 1);
    EXPECT_TRUE(admitted_[0].expired());
    EXPECT_FALSE(std::filesystem::exists(path));
    const auto result = client->call(
        "echo:reply:", std::vector<xpc::value_t>{std::optional<std::string>{"x"}}, '@', kPatience);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), xpc::call_error_t::closed);
}

TEST_F(XpcListener, ServiceSocketIsPlacedSafely) {
    std::string reason;
    for (const char* bad : {"", ".", "..", "../etc/evil", "a/b"}) {
        EXPECT_FALSE(xpc::listener_t::create_for_service(bad, &reason)) << bad;
    }
    // A socket left by an earlier run is replaced; a file of another kind is never removed.
    const std::string path = sandbox_.path("/var/run/com.example.stale");
    auto first = xpc::listener_t::create_for_service("com.example.stale", &reason);
    ASSERT_TRUE(first) << reason;
    ASSERT_EQ(first->socket_path(), path);
    ASSERT_EQ(rename(path.c_str(), (path + ".kept").c_str()), 0);
    first.reset();
    ASSERT_EQ(rename((path + ".kept").c_str(), path.c_str()), 0);
    EXPECT_TRUE(xpc::listener_t::create_for_service("com.example.stale", &reason)) << reason;
    sandbox_.write_file("/var/run/com.example.file", "keep me");
    EXPECT_FALSE(xpc::listener_t::create_for_service("com.example.file", &reason));
    EXPECT_EQ(sandbox_.read_file("/var/run/com.example.file"), "keep me");
}

TEST(PeerProcess, RealIdsComeFromTheirOwnLine) {
    const std::string status = "Name:\tUidMaker\nUmask:\t0022\nUid:\t501\t0\t0\t0\nGid:\t20\t0\t0\t0\n";
    EXPECT_EQ(xpc::parse_status_real_id(status, "Uid:"), 501u);
    EXPECT_EQ(xpc::parse_status_real_id(status, "Gid:"), 20u);
    EXPECT_EQ(xpc::parse_status_real_id("Name:\tx\n", "Uid:"), std::nullopt);
    EXPECT_EQ(xpc::parse_status_real_id("Uid:\t-1\t0\n", "Uid:"), std::nullopt);
}

}  // namespace
}  // namespace xpc_test
