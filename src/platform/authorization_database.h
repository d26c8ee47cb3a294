#pragma once
// The rights database behind the Authorization Services stand-in: SQLite at <root>/var/db/auth.db,
// table rules(name TEXT PRIMARY KEY, rule TEXT NOT NULL, description TEXT, localization_table TEXT).

#include <string>

#include "platform/authorization.h"

namespace platform {

// "<root>/var/db/auth.db".
[[nodiscard]] std::string default_authorization_database_path();

// Each operation opens its own connection and waits out the locks of other writers (the helper, the
// client and the command-line tool share the file), so one object may serve every thread.
class authorization_database_t {
public:
    // How long an operation waits for another process's lock before it gives up.
    static constexpr int kBusyTimeoutMilliseconds = 5000;

    explicit authorization_database_t(std::string path) : path_(std::move(path)) {}

    [[nodiscard]] const std::string& path() const { return path_; }
    // 0 with the definition; errAuthorizationDenied when the database (or its file) does not hold the right;
    // errAuthorizationInternal when it cannot be read.
    [[nodiscard]] authorization_right_lookup_t get(const std::string& right) const;
    // Inserts or replaces; creates the file and table when missing.
    [[nodiscard]] os_status_t set(const std::string& right,
                                  const authorization_right_definition_t& definition) const;
    // errAuthorizationDenied when there was no such right.
    [[nodiscard]] os_status_t remove(const std::string& right) const;

private:
    std::string path_;
};

}  // namespace platform
