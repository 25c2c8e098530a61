// The store's connections to a SQLite file.

#include "service/storesql.h"

#include <sqlite3.h>

#include <QDebug>

#include <map>

namespace service {

namespace {

class SqliteStatement : public Statement {
public:
    SqliteStatement(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
    ~SqliteStatement() override { sqlite3_finalize(statement_); }

    bool bind(int index, int64_t value) override { return sqlite3_bind_int64(statement_, index, value) == SQLITE_OK; }
    bool bind(int index, double value) override { return sqlite3_bind_double(statement_, index, value) == SQLITE_OK; }
    bool bind(int index, const std::string& value) override
    {
        return sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT)
            == SQLITE_OK;
    }
    Step step() override
    {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW)
            return row;
        if (result == SQLITE_DONE)
            return done;
        qWarning() << "database:" << sqlite3_errmsg(db_);
        return failed;
    }
    void reset() override
    {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    int64_t integer(int column) const override { return sqlite3_column_int64(statement_, column); }
    double real(int column) const override { return sqlite3_column_double(statement_, column); }
    std::string text(int column) const override
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                     : std::string();
    }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_;
};

class SqliteConnection : public Connection {
public:
    SqliteConnection(sqlite3* db, std::mutex* writer) : db_(db), writer_(writer) {}
    ~SqliteConnection() override
    {
        statements_.clear();
        sqlite3_close_v2(db_);
    }

    bool exec(const char* sql) override
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        qWarning() << "database:" << (message ? message : "error") << "in" << QByteArray(sql).left(80);
        sqlite3_free(message);
        return false;
    }

    Statement* prepare(const char* sql) override
    {
        auto found = statements_.find(sql);
        if (found != statements_.end())
            return found->second.get();
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            qWarning() << "database:" << sqlite3_errmsg(db_) << "preparing" << QByteArray(sql).left(80);
            return nullptr;
        }
        return statements_.emplace(sql, std::make_unique<SqliteStatement>(db_, statement)).first->second.get();
    }

    std::string lastError() const override { return sqlite3_errmsg(db_); }
    int64_t changes() const override { return sqlite3_changes(db_); }

    // Writers of this process queue on the writer lock before they begin, so
    // none of them meets a locked database; the busy timeout only serves
    // against other processes.
    bool begin(Begin kind) override { return exec(kind == Begin::write ? "BEGIN IMMEDIATE" : "BEGIN"); }
    // One writer at a time holds every key.
    bool lock(int64_t) override { return true; }
    bool commit() override { return exec("COMMIT"); }
    void rollback() override { exec("ROLLBACK"); }
    std::mutex* writer() const override { return writer_; }

private:
    sqlite3* db_;
    std::mutex* writer_;
    std::map<std::string, std::unique_ptr<SqliteStatement>> statements_;
};

} // namespace

std::unique_ptr<Connection> openSqlite(const std::string& path, std::mutex* writer, std::string* error)
{
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        if (error)
            *error = "cannot open the database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(result));
        sqlite3_close_v2(db);
        return nullptr;
    }
    auto connection = std::make_unique<SqliteConnection>(db, writer);
    sqlite3_busy_timeout(db, 10000);
    sqlite3_extended_result_codes(db, 1);
    if (!connection->exec("PRAGMA foreign_keys = ON") || !connection->exec("PRAGMA synchronous = NORMAL")) {
        if (error)
            *error = "cannot use the database " + path + ": " + connection->lastError();
        return nullptr;
    }
    return connection;
}

} // namespace service
