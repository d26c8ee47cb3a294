#include "platform/authorization_database.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>

#include "platform/system_root.h"

namespace platform {
namespace {

struct sqlite_close_t {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
struct sqlite_finalize_t {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using unique_database_t = std::unique_ptr<sqlite3, sqlite_close_t>;
using unique_statement_t = std::unique_ptr<sqlite3_stmt, sqlite_finalize_t>;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS rules(name TEXT PRIMARY KEY, rule TEXT NOT NULL, description TEXT, "
    "localization_table TEXT)";

unique_database_t open_database(const std::string& path, int flags) {
    sqlite3* raw = nullptr;
    // The handle must be closed even when opening failed.
    const int result = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    unique_database_t database(raw);
    if (result != SQLITE_OK) {
        return nullptr;
    }
    sqlite3_busy_timeout(database.get(), authorization_database_t::kBusyTimeoutMilliseconds);
    return database;
}

unique_statement_t prepare(sqlite3* database, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(database, sql, -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return unique_statement_t(raw);
}

[[nodiscard]] bool bind_text(sqlite3_stmt* statement, int index, const std::optional<std::string>& text) {
    if (!text) {
        return sqlite3_bind_null(statement, index) == SQLITE_OK;
    }
    return sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

std::optional<std::string> column_text(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL) {
        return std::nullopt;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

[[nodiscard]] bool execute(sqlite3* database, const char* sql) {
    return sqlite3_exec(database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A write that takes the write lock before it reads anything. A statement that first reads and then asks
// for the lock can meet another writer in a deadlock, which SQLite answers at once with "busy" instead
// of waiting.
class write_transaction_t {
public:
    explicit write_transaction_t(const std::string& path)
        : database_(open_database(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
        if (database_ && execute(database_.get(), "BEGIN IMMEDIATE")) {
            open_ = true;
            const auto create = prepare(database_.get(), kCreateTable);
            ready_ = create && sqlite3_step(create.get()) == SQLITE_DONE;
        }
    }
    ~write_transaction_t() {
        if (open_) {
            static_cast<void>(execute(database_.get(), "ROLLBACK"));
        }
    }
    write_transaction_t(const write_transaction_t&) = delete;
    write_transaction_t& operator=(const write_transaction_t&) = delete;

    // Open, with the table in place.
    [[nodiscard]] sqlite3* database() const { return ready_ ? database_.get() : nullptr; }
    [[nodiscard]] bool commit() {
        if (!ready_ || !execute(database_.get(), "COMMIT")) {
            return false;
        }
        open_ = false;
        return true;
    }

private:
    unique_database_t database_;
    bool open_ = false;
    bool ready_ = false;
};

}  // namespace

std::string default_authorization_database_path() {
    return system_path("/var/db/auth.db");
}

authorization_right_lookup_t authorization_database_t::get(const std::string& right) const {
    std::error_code ignored;
    if (!std::filesystem::exists(path_, ignored)) {
        return {errAuthorizationDenied, std::nullopt};
    }
    // Read-only, so that users who may not write the database can still look rights up.
    const auto database = open_database(path_, SQLITE_OPEN_READONLY);
    if (!database) {
        return {errAuthorizationInternal, std::nullopt};
    }
    const auto has_table =
        prepare(database.get(), "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'rules'");
    if (!has_table || sqlite3_step(has_table.get()) != SQLITE_ROW) {
        return {errAuthorizationInternal, std::nullopt};
    }
    if (sqlite3_column_int(has_table.get(), 0) == 0) {
        return {errAuthorizationDenied, std::nullopt};
    }
    const auto select =
        prepare(database.get(), "SELECT rule, description, localization_table FROM rules WHERE name = ?1");
    if (!select || !bind_text(select.get(), 1, right)) {
        return {errAuthorizationInternal, std::nullopt};
    }
    switch (sqlite3_step(select.get())) {
        case SQLITE_ROW:
            return {errAuthorizationSuccess, authorization_right_definition_t{
                                                 column_text(select.get(), 0).value_or(""),
                                                 column_text(select.get(), 1), column_text(select.get(), 2)}};
        case SQLITE_DONE:
            return {errAuthorizationDenied, std::nullopt};
        default:
            return {errAuthorizationInternal, std::nullopt};
    }
}

os_status_t authorization_database_t::set(const std::string& right,
                                          const authorization_right_definition_t& definition) const {
    write_transaction_t transaction(path_);
    sqlite3* database = transaction.database();
    if (database == nullptr) {
        return errAuthorizationInternal;
    }
    const auto insert = prepare(database,
                                "INSERT OR REPLACE INTO rules(name, rule, description, localization_table) "
                                "VALUES (?1, ?2, ?3, ?4)");
    if (!insert || !bind_text(insert.get(), 1, right) || !bind_text(insert.get(), 2, definition.rule) ||
        !bind_text(insert.get(), 3, definition.description) ||
        !bind_text(insert.get(), 4, definition.localization_table)) {
        return errAuthorizationInternal;
    }
    if (sqlite3_step(insert.get()) != SQLITE_DONE || !transaction.commit()) {
        return errAuthorizationInternal;
    }
    return errAuthorizationSuccess;
}

os_status_t authorization_database_t::remove(const std::string& right) const {
    write_transaction_t transaction(path_);
    sqlite3* database = transaction.database();
    if (database == nullptr) {
        return errAuthorizationInternal;
    }
    const auto erase = prepare(database, "DELETE FROM rules WHERE name = ?1");
    if (!erase || !bind_text(erase.get(), 1, right) || sqlite3_step(erase.get()) != SQLITE_DONE) {
        return errAuthorizationInternal;
    }
    const bool removed = sqlite3_changes(database) > 0;
    if (!transaction.commit()) {
        return errAuthorizationInternal;
    }
    return removed ? errAuthorizationSuccess : errAuthorizationDenied;
}

}  // namespace platform
