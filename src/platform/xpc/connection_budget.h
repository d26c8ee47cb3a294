#pragma once
// How many connections the listener serves at once, and for how long an admitted connection may keep its
// thread waiting for the hello echo. A connection holds descriptors from the moment it is accepted and a
// thread once admitted, so the caps are taken at accept, before anything is read about the peer.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace platform::xpc {

struct connection_limits_t {
    // One user other than root; the application holds a handful at most.
    std::size_t per_user = 64;
    // All users other than root together.
    std::size_t other_users = 160;
    // Root's own, apart from the others': root is served however many the others hold.
    std::size_t root = 64;
    // From the hello to its echo; the client library echoes at once.
    std::chrono::milliseconds hello_echo_timeout = std::chrono::seconds(10);
    // Refusals over the caps are recorded at most once in this time, with their count.
    std::chrono::milliseconds refusal_record_interval = std::chrono::minutes(1);
};

// Held while a connection runs: its socket, its peer's /proc/<pid> directory and status file, and room for
// what a request opens (the pipe of a tool it runs).
inline constexpr std::uint64_t kDescriptorsPerConnection = 4;
// The helper's own descriptors besides its connections: standard streams, listener, trace file, rights
// database, an admission's guest and verifier, an install's directory walk. With the defaults, all of
// it fits in the 1,024 open files a service is given.
inline constexpr std::uint64_t kDescriptorsKeptForTheHelper = 128;

// The limits shrunk, when they must be, so that every connection they allow has its descriptors within
// `open_files` (the soft RLIMIT_NOFILE): other users give way first, root's share last.
[[nodiscard]] connection_limits_t fit_to_descriptor_limit(connection_limits_t limits,
                                                          std::uint64_t open_files);

// The connections held, per user, shared by the listener and the connections it made.
class connection_budget_t : public std::enable_shared_from_this<connection_budget_t> {
public:
    // One connection's place in the budget, given back when it is dropped.
    class slot_t {
    public:
        slot_t() = default;
        ~slot_t();
        slot_t(slot_t&& other) noexcept;
        slot_t& operator=(slot_t&& other) noexcept;
        slot_t(const slot_t&) = delete;
        slot_t& operator=(const slot_t&) = delete;

    private:
        friend class connection_budget_t;
        slot_t(std::shared_ptr<connection_budget_t> budget, uid_t user);
        void release();

        std::shared_ptr<connection_budget_t> budget_;
        uid_t user_ = 0;
    };

    explicit connection_budget_t(const connection_limits_t& limits);

    // A slot for a connection of `user` (its effective id), or absent with the cap it would pass.
    [[nodiscard]] std::optional<slot_t> acquire(uid_t user, std::string* refusal);

private:
    void give_back(uid_t user);

    const connection_limits_t limits_;
    std::mutex mutex_;
    std::unordered_map<uid_t, std::size_t> held_;  // guarded by mutex_
    std::size_t held_by_others_ = 0;               // guarded by mutex_
};

}  // namespace platform::xpc
