#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/process_info.h"
#include "platform/xpc/datagram_socket.h"
#include "xpc/service_fixture.h"

namespace xpc_test {
namespace {

using text_t = std::optional<std::string>;

class XpcConnection : public service_fixture_t {};

TEST_F(XpcConnection, AdmittedClientGetsRepliesToItsRequests) {
    start();
    struct stat info {};
    ASSERT_EQ(stat(sandbox_.path("/var/run/com.example.xpc-test").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0666u);

    auto client = connect();
    const std::vector<xpc::value_t> add = {std::int32_t{40}, std::int32_t{2}};
    const std::vector<xpc::value_t> echo_nil = {text_t{}};
    const std::vector<xpc::value_t> echo_text = {text_t{"h\xc3\xa9llo"}};
    const auto sum = client->call("add:to:reply:", add, 'i', kPatience);
    ASSERT_TRUE(sum.ok()) << xpc::describe(sum.error());
    EXPECT_EQ(std::get<std::int32_t>(sum.value()), 42);
    const auto nil = client->call("echo:reply:", echo_nil, '@', kPatience);
    ASSERT_TRUE(nil.ok());
    EXPECT_EQ(std::get<text_t>(nil.value()), std::nullopt);
    const auto text = client->call("echo:reply:", echo_text, '@', kPatience);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), echo_text[0]);
    EXPECT_TRUE(protocol_errors_.empty());
}

TEST_F(XpcConnection, AuditTokenDescribesTheConnectingProcess) {
    std::optional<platform::audit_token_t> seen;
    admit_ = [&](const std::shared_ptr<xpc::connection_t>& connection) {
        record([&] { seen = connection->audit_token(); });
        return false;
    };
    start();
    auto client = connect();
    const auto result = client->call(
        "add:to:reply:", std::vector<xpc::value_t>{std::int32_t{1}, std::int32_t{1}}, 'i', kPatience);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), xpc::call_error_t::refused);
    ASSERT_TRUE(wait_for([&] { return seen.has_value(); }));
    EXPECT_EQ(seen->pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(seen->euid, geteuid());
    EXPECT_EQ(seen->egid, getegid());
    EXPECT_EQ(seen->ruid, getuid());
    EXPECT_EQ(seen->session_id, static_cast<std::uint32_t>(getsid(0)));
    const auto start_time = platform::parse_stat_start_time(
        fixtures::read_text_file("/proc/" + std::to_string(getpid()) + "/stat"));
    ASSERT_TRUE(start_time);
    EXPECT_EQ(seen->pid_version, static_cast<std::uint32_t>(*start_time));
    // A refused connection never reaches a handler.
    EXPECT_EQ(requests_, 0);
}

// Each case sends `first` (after the hello echo unless `before_echo`) and must be refused unrun.
TEST_F(XpcConnection, RefusesMalformedOrEarlyMessagesWithOneProtocolError) {
    struct case_t {
        const char* name;
        bool before_echo;
        xpc::bytes_t message;
        const char* reason;
    };
    const std::vector<case_t> cases = {
        {"request before the hello echo", true, xpc::encode_request(1, "add:to:reply:", {}), "hello echo"},
        {"echo with another nonce", true, xpc::encode_hello_echo(xpc::hello_nonce_t{}), "does not match"},
        {"unknown selector", false, xpc::encode_request(1, "remove_everything:", {}), "unknown selector"},
        {"argument of the wrong type", false,
         xpc::encode_request(1, "echo:reply:", std::vector<xpc::value_t>{std::int32_t{1}}),
         "argument 1 has type i, expected @"},
        {"datagram over 65536 bytes", false, xpc::bytes_t(xpc::kMaxMessageSize + 1, 'Q'),
         "larger than 65536"},
    };
    start();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        auto client = connect();
        const auto hello = client->receive_datagram(kPatience);
        ASSERT_TRUE(hello) << c.name;
        if (!c.before_echo) {
            ASSERT_TRUE(client->send_datagram(xpc::encode_hello_echo(xpc::decode_hello(*hello).value())));
        }
        ASSERT_TRUE(client->send_datagram(c.message)) << c.name;
        ASSERT_TRUE(wait_for([&] { return invalidations_ == static_cast<int>(i + 1); })) << c.name;
        std::lock_guard lock(mutex_);
        ASSERT_EQ(protocol_errors_.size(), i + 1) << c.name;
        EXPECT_NE(protocol_errors_[i].find(c.reason), std::string::npos)
            << c.name << ": " << protocol_errors_[i];
        EXPECT_EQ(requests_, 0) << c.name;
        // The client learns that the connection is gone.
        EXPECT_FALSE(client->receive_datagram(kPatience)) << c.name;
    }
}

TEST_F(XpcConnection, MessageFromForkedChildInvalidates) {
    start();
    auto client = connect();
    ASSERT_EQ(client->handshake(kPatience), std::nullopt);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto request = xpc::encode_request(
            9, "add:to:reply:", std::vector<xpc::value_t>{std::int32_t{1}, std::int32_t{2}});
        _exit(send(client->native_handle(), request.data(), request.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(request.size())
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1; }));
    EXPECT_EQ(requests_, 0);
    ASSERT_EQ(protocol_errors_.size(), 1u);
    EXPECT_NE(protocol_errors_[0].find("from process " + std::to_string(child)), std::string::npos)
        << protocol_errors_[0];
}

TEST_F(XpcConnection, MessageAfterExecInvalidates) {
    start();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // A group of its own, set on both sides so that it holds whichever runs first: the shell's sleep is
    // ended with it and does not hold the test's output open.
    setpgid(child, child);
    if (child == 0) {
        // Admitted as this test binary, then becomes a shell that writes one datagram on the socket.
        auto client = xpc::remote_connection_t::connect(listener_->socket_path());
        if (!client || client->handshake(kPatience) || dup2(client->native_handle(), 3) != 3) {
            _exit(1);
        }
        execl("/bin/sh", "sh", "-c", "printf x >&3; sleep 30", static_cast<char*>(nullptr));
        _exit(1);
    }
    const bool invalidated = wait_for([&] { return invalidations_ == 1; });
    kill(-child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(invalidated);
    EXPECT_EQ(requests_, 0);
    ASSERT_EQ(protocol_errors_.size(), 1u);
    EXPECT_NE(protocol_errors_[0].find("changed its executable"), std::string::npos) << protocol_errors_[0];
}

TEST_F(XpcConnection, DisconnectDuringRequestInvalidatesAfterTheHandlerFinishes) {
    start();
    auto client = connect();
    ASSERT_EQ(client->handshake(kPatience), std::nullopt);
    ASSERT_TRUE(client->send_datagram(xpc::encode_request(1, "wait_then_reply:", {})));
    ASSERT_TRUE(wait_for([&] { return requests_ == 1; }));
    client.reset();
    // Nothing may run while the handler still works, however long the peer has been gone.
    {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(invalidations_, 0);
    }
    release_waiting_handler();
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1; }));
    std::lock_guard lock(mutex_);
    EXPECT_EQ(events_, (std::vector<std::string>{"wait_then_reply:", "handler finished", "invalidated"}));
}

TEST_F(XpcConnection, SilentConnectionDelaysNobodyAndIsClosedWhenTheHelloEchoIsLate) {
    limits_.hello_echo_timeout = 200ms;
    start();
    auto silent = connect();
    auto unechoed = connect();
    ASSERT_TRUE(unechoed->receive_datagram(kPatience));
    auto client = connect();
    const auto result = client->call(
        "add:to:reply:", std::vector<xpc::value_t>{std::int32_t{2}, std::int32_t{3}}, 'i', kPatience);
    ASSERT_TRUE(result.ok()) << xpc::describe(result.error());
    EXPECT_EQ(std::get<std::int32_t>(result.value()), 5);
    // Neither keeps its thread: both are refused once the time for the echo has passed.
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 2; }));
    std::lock_guard lock(mutex_);
    ASSERT_EQ(protocol_errors_.size(), 2u);
    for (const auto& error : protocol_errors_) {
        EXPECT_NE(error.find("no hello echo within 200 ms"), std::string::npos) << error;
    }
}

TEST_F(XpcConnection, UnansweredRequestTimesOutAndLeavesConnectionUsable) {
    start();
    auto client = connect();
    const auto unanswered = client->call("never_reply:", {}, 'B', 200ms);
    ASSERT_FALSE(unanswered.ok());
    EXPECT_EQ(unanswered.error(), xpc::call_error_t::timed_out);
    // The late reply of a timed-out call must not be taken for the next one.
    ASSERT_TRUE(client->send_datagram(xpc::encode_request(50, "wait_then_reply:", {})));
    ASSERT_TRUE(wait_for([&] { return requests_ == 2; }));
    release_waiting_handler();
    const auto sum = client->call(
        "add:to:reply:", std::vector<xpc::value_t>{std::int32_t{2}, std::int32_t{2}}, 'i', kPatience);
    ASSERT_TRUE(sum.ok()) << xpc::describe(sum.error());
    EXPECT_EQ(std::get<std::int32_t>(sum.value()), 4);
}

TEST_F(XpcConnection, CurrentConnectionIsTheRequestsOwnOnlyWhileItsHandlerRuns) {
    start();
    auto client = connect();
    ASSERT_TRUE(client->call("echo:reply:", std::vector<xpc::value_t>{text_t{"x"}}, '@', kPatience).ok());
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(current_matched_);
    EXPECT_EQ(xpc::current_connection(), nullptr);
}

TEST_F(XpcConnection, ReplyIsSentOnceAndOnlyWithTheDeclaredType) {
    start();
    auto client = connect();
    ASSERT_EQ(client->handshake(kPatience), std::nullopt);
    ASSERT_TRUE(wait_for([&] { return admitted_.size() == 1; }));
    auto connection = admitted_[0].lock();
    ASSERT_TRUE(connection);
    // Exported objects that misuse their reply.
    connection->set_exported_object([](const xpc::request_t&, xpc::reply_t reply) {
        reply(xpc::value_t{std::int32_t{1}});  // declared 'B': not sent
        reply(xpc::value_t{true});             // already used: not sent
    });
    connection.reset();
    ASSERT_TRUE(client->send_datagram(xpc::encode_request(3, "never_reply:", {})));
    EXPECT_FALSE(client->receive_datagram(300ms));
    connection = admitted_[0].lock();
    connection->set_exported_object([](const xpc::request_t&, xpc::reply_t reply) {
        reply(xpc::value_t{true});
        reply(xpc::value_t{false});
    });
    connection.reset();
    ASSERT_TRUE(client->send_datagram(xpc::encode_request(4, "never_reply:", {})));
    const auto first = client->receive_datagram(kPatience);
    ASSERT_TRUE(first);
    EXPECT_EQ(xpc::decode_reply(*first, 'B')->value, xpc::value_t{true});
    EXPECT_FALSE(client->receive_datagram(300ms));
}

TEST_F(XpcConnection, InvalidateFromHandlerClosesAfterItReturns) {
    start();
    auto client = connect();
    ASSERT_EQ(client->handshake(kPatience), std::nullopt);
    ASSERT_TRUE(wait_for([&] { return admitted_.size() == 1; }));
    admitted_[0].lock()->set_exported_object([](const xpc::request_t&, xpc::reply_t reply) {
        xpc::current_connection()->invalidate();
        reply(xpc::value_t{true});  // too late: the connection is already invalid
    });
    const auto result = client->call("never_reply:", {}, 'B', kPatience);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), xpc::call_error_t::closed);
    ASSERT_TRUE(wait_for([&] { return invalidations_ == 1; }));
    EXPECT_TRUE(protocol_errors_.empty());
}

}  // namespace
}  // namespace xpc_test
