#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>

#include "platform/service_accounts.h"
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

class XpcListener : public service_fixture_t {
protected:
    // Admits every connection, the first only once release_waiting_handler() is called; examining_ tells
    // when it waits. Starts afresh each time.
    void hold_the_first_admission() {
        std::lock_guard lock(mutex_);
        release_ = false;
        examining_ = false;
        admit_ = [this, first = true](const auto&) mutable {
            std::unique_lock lock(mutex_);
            if (std::exchange(first, false)) {
                examining_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return release_; });
            }
            return true;
        };
    }

    // How many admitted connections no longer exist, their slots given back.
    bool examining_ = false;  // guarded by mutex_

    std::size_t expired_admissions() {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(admitted_.begin(), admitted_.end(),
                                                      [](const auto& weak) { return weak.expired(); }));
    }
};

// Polls `done` for up to kPatience; for states that no handler announces.
bool eventually(const std::function<bool()>& done) {
    for (auto waited = 0ms; waited < kPatience; waited += 10ms) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// Lowers the address-space limit to what the process uses plus `room` for its lifetime.
class address_space_limit_t {
public:
    explicit address_space_limit_t(std::size_t room) {
        EXPECT_EQ(getrlimit(RLIMIT_AS, &saved_), 0);
        std::size_t used_kib = 0;
        const std::string status = fixtures::read_text_file("/proc/self/status");
        const auto at = status.find("VmSize:");
        EXPECT_NE(at, std::string::npos);
        used_kib = std::stoul(status.substr(at + 7));
        const rlimit lowered{used_kib * 1024 + room, saved_.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
    }
    ~address_space_limit_t() { setrlimit(RLIMIT_AS, &saved_); }
    address_space_limit_t(const address_space_limit_t&) = delete;
    address_space_limit_t& operator=(const address_space_limit_t&) = delete;

private:
    rlimit saved_{};
};

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

// A process of another user that opens `count` connections one after another, each waiting for its
// hello, and holds them until it is dropped. Its effective group is the client group, as after a clean
// set-group-id exec of a client, unless `group` says otherwise.
class connections_of_user_t {
public:
    connections_of_user_t(const std::string& socket_path, uid_t user, int count,
                          std::optional<gid_t> group = std::nullopt) {
        const gid_t effective_group = group.value_or(platform::service_accounts().client_group);
        int answers[2];
        EXPECT_EQ(pipe2(answers, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(answers[0]);
            if (setgroups(0, nullptr) != 0 || setresgid(user, effective_group, user) != 0 ||
                setresuid(user, user, user) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
                _exit(1);
            }
            std::vector<std::unique_ptr<xpc::remote_connection_t>> held;
            for (int i = 0; i < count; ++i) {
                held.push_back(xpc::remote_connection_t::connect(socket_path));
                const bool admitted = held.back() && !held.back()->handshake(kPatience);
                (void)!write(answers[1], admitted ? "y" : "n", 1);
            }
            // Until it is killed (or this process ends): a pipe's end-of-file would not come while a later
            // child holds a copy.
            while (true) {
                pause();
            }
        }
        close(answers[1]);
        char answer = 0;
        while (static_cast<int>(admitted_.size()) < count && read(answers[0], &answer, 1) == 1) {
            admitted_ += answer;
        }
        close(answers[0]);
    }
    ~connections_of_user_t() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    connections_of_user_t(const connections_of_user_t&) = delete;
    connections_of_user_t& operator=(const connections_of_user_t&) = delete;

    // One letter per connection, in order: y admitted, n refused.
    [[nodiscard]] const std::string& admitted() const { return admitted_; }

private:
    pid_t pid_ = -1;
    std::string admitted_;
};

TEST_F(XpcListener, CapsConnectionsPerUserAndInTotalWhileRootIsStillServed) {
    limits_.per_user = 2;
    limits_.other_users = 3;
    limits_.root = 1;
    start();
    auto nobody = std::make_unique<connections_of_user_t>(listener_->socket_path(), 65534, 3);
    EXPECT_EQ(nobody->admitted(), "yyn") << "two per user";
    const connections_of_user_t other(listener_->socket_path(), 65533, 2);
    EXPECT_EQ(other.admitted(), "yn") << "three for all users but root";
    auto root = connect();
    const auto result =
        root->call("echo:reply:", std::vector<xpc::value_t>{std::optional<std::string>{"r"}}, '@', kPatience);
    EXPECT_TRUE(result.ok()) << "root has a share of its own";
    auto second_root = connect();
    EXPECT_EQ(second_root->handshake(kPatience), xpc::call_error_t::refused) << "root's share is one";
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(admitted_.size(), 4u) << "a refusal over the caps never reaches the delegate";
        // The first refusal is told at once, the others are held back within the interval...
        ASSERT_EQ(reports_.size(), 1u);
        EXPECT_NE(reports_[0].find("1 connections refused over the limits"), std::string::npos)
            << reports_[0];
        EXPECT_NE(reports_[0].find("user 65534 holds 2 connections, the cap per user"), std::string::npos)
            << reports_[0];
    }
    // Slots come back when their connections end: the others' share, a user's own, and root's.
    nobody.reset();
    root.reset();
    second_root.reset();
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 3; }));
    ASSERT_TRUE(eventually([&] { return expired_admissions() == 3; }));
    EXPECT_EQ(connections_of_user_t(listener_->socket_path(), 65532, 2).admitted(), "yy")
        << "the others' share";
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 5; }));
    ASSERT_TRUE(eventually([&] { return expired_admissions() == 5; }));
    EXPECT_EQ(connections_of_user_t(listener_->socket_path(), 65534, 1).admitted(), "y") << "a user's own";
    EXPECT_EQ(connect()->handshake(kPatience), std::nullopt) << "root's";
    // ...and told with their count when the listener stops.
    listener_.reset();
    ASSERT_EQ(reports_.size(), 2u);
    EXPECT_NE(reports_[1].find("2 connections refused over the limits"), std::string::npos) << reports_[1];
    EXPECT_NE(reports_[1].find("root holds 1 connections, its cap"), std::string::npos) << reports_[1];
}

// A user's peer that a clean set-group-id exec did not put in the client group may run code its starter
// wrote into it: refused when accepted, before any slot, examination or word; root's any group.
TEST_F(XpcListener, RefusesAUsersPeerOutsideTheClientGroupAtOnce) {
    limits_.per_user = 1;
    start();
    const connections_of_user_t outside(listener_->socket_path(), 65534, 2, 65534);
    EXPECT_EQ(outside.admitted(), "nn");
    const connections_of_user_t real_group_only(listener_->socket_path(), 65533, 1, 65533);
    EXPECT_EQ(real_group_only.admitted(), "n");
    const connections_of_user_t inside(listener_->socket_path(), 65534, 1);
    EXPECT_EQ(inside.admitted(), "y") << "the refused ones took no slot";
    ASSERT_EQ(setegid(65534), 0);
    auto root_in_another_group = connect();
    ASSERT_EQ(setegid(0), 0);
    EXPECT_EQ(root_in_another_group->handshake(kPatience), std::nullopt);
    std::lock_guard lock(mutex_);
    EXPECT_EQ(admitted_.size(), 2u);
    EXPECT_TRUE(reports_.empty()) << reports_[0];
}

// Peers that hang up before their examination hold no slot: those gone when they are accepted never take
// one, those gone while they wait are dropped when their turn comes, or sooner when another connection
// needs their slots.
TEST_F(XpcListener, PeersThatHaveHungUpHoldNoSlot) {
    struct case_t {
        const char* what;
        std::size_t root_cap;
        int gone_while_waiting;
        int gone_before_accept;
        bool last_waits_for_the_release;
    };
    const case_t cases[] = {
        {"gone while waiting, then examined", 64, 10, 0, false},
        {"gone while waiting, slots needed", 11, 10, 0, true},
        {"gone before accept, more than the cap", 64, 0, 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        hold_the_first_admission();
        limits_.root = c.root_cap;
        start(false);
        // The first one's examination holds back all those accepted with it.
        auto held = connect();
        std::vector<std::unique_ptr<xpc::remote_connection_t>> departing;
        for (int i = 0; i < c.gone_while_waiting; ++i) {
            departing.push_back(connect());
        }
        listener_->resume();
        ASSERT_TRUE(wait_for([&] { return examining_; }));
        departing.clear();
        for (int i = 0; i < c.gone_before_accept; ++i) {
            ASSERT_TRUE(connect());
        }
        auto last = c.last_waits_for_the_release ? connect() : nullptr;
        release_waiting_handler();
        if (!last) {
            last = connect();
        }
        EXPECT_EQ(held->handshake(kPatience), std::nullopt);
        EXPECT_EQ(last->handshake(kPatience), std::nullopt);
        {
            std::lock_guard lock(mutex_);
            EXPECT_EQ(admitted_.size(), 2u) << "none of those gone reached the delegate";
            EXPECT_TRUE(reports_.empty()) << reports_[0];
        }
        listener_.reset();
        std::lock_guard lock(mutex_);
        admitted_.clear();
    }
}

// A connection whose thread cannot be started gives back its slot, socket and place in the active list.
TEST_F(XpcListener, AConnectionWithoutAThreadGivesBackWhatItHeld) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit this test sets";
#endif
    limits_.root = 1;
    start();
    auto warm_up = connect();
    ASSERT_EQ(warm_up->handshake(kPatience), std::nullopt);
    warm_up.reset();
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1; }));
    ASSERT_TRUE(eventually([&] { return expired_admissions() == 1; }));
    const std::size_t descriptors = entries_in("/proc/self/fd");
    {
        // No room left for another thread's stack.
        const address_space_limit_t limit(std::size_t{1} << 20);
        auto refused = connect();
        ASSERT_TRUE(wait_for([&] { return invalidations_ == 2; })) << "the invalidation handler ran";
        EXPECT_NE(refused->handshake(kPatience), std::nullopt);
    }
    EXPECT_TRUE(eventually([&] { return expired_admissions() == 2; }));
    EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
    EXPECT_EQ(connect()->handshake(kPatience), std::nullopt) << "root's one slot came back";
}

TEST_F(XpcListener, PeerGoneBeforeItsExaminationIsRefusedWithoutAReport) {
    // The first admission waits, so that the next peer is certainly gone when its turn comes.
    hold_the_first_admission();
    start();
    auto waiting = connect();
    ASSERT_TRUE(wait_for([&] { return examining_; }));
    const pid_t vanished = fork();
    ASSERT_GE(vanished, 0);
    if (vanished == 0) {
        _exit(xpc::remote_connection_t::connect(listener_->socket_path()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(vanished, &status, 0), vanished);
    ASSERT_EQ(status, 0);
    release_waiting_handler();
    auto next = connect();
    ASSERT_TRUE(
        next->call("echo:reply:", std::vector<xpc::value_t>{std::optional<std::string>{"n"}}, '@', kPatience)
            .ok());
    std::lock_guard lock(mutex_);
    EXPECT_EQ(admitted_.size(), 2u);
    EXPECT_TRUE(reports_.empty()) << reports_[0];
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
