#include "service/storesql.h"

#include <sqlite3.h>

#include <QDebug>

namespace service {

std::unique_ptr<Connection> Connection::open(const std::string& path, std::mutex* writer, std::string* error)
{
    std::unique_ptr<Connection> connection(new Connection);
    connection->writer_ = writer;
    const int result = sqlite3_open_v2(path.c_str(), &connection->db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        if (error)
            *error = "cannot open the database " + path + ": "
                + (connection->db_ ? sqlite3_errmsg(connection->db_) : sqlite3_errstr(result));
        return nullptr;
    }
    sqlite3_busy_timeout(connection->db_, 10000);
    sqlite3_extended_result_codes(connection->db_, 1);
    if (!connection->exec("PRAGMA foreign_keys = ON") || !connection->exec("PRAGMA synchronous = NORMAL")) {
        if (error)
            *error = "cannot use the database " + path + ": " + connection->lastError();
        return nullptr;
    }
    return connection;
}

Connection::~Connection()
{
    for (auto& entry : statements_)
        sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
}

bool Connection::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    qWarning() << "database:" << (message ? message : "error") << "in" << QByteArray(sql).left(80);
    sqlite3_free(message);
    return false;
}

sqlite3_stmt* Connection::prepare(const char* sql)
{
    auto found = statements_.find(sql);
    if (found != statements_.end())
        return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        qWarning() << "database:" << sqlite3_errmsg(db_) << "preparing" << QByteArray(sql).left(80);
        return nullptr;
    }
    statements_.emplace(sql, statement);
    return statement;
}

std::string Connection::lastError() const
{
    return sqlite3_errmsg(db_);
}

int64_t Connection::lastInsertRow() const
{
    return sqlite3_last_insert_rowid(db_);
}

int64_t Connection::changes() const
{
    return sqlite3_changes(db_);
}

Query::Query(Connection& connection, const char* sql) : connection_(connection), statement_(connection.prepare(sql)) {}

Query::~Query()
{
    if (statement_) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
}

Query& Query::bind(int index, int64_t value)
{
    if (statement_)
        check(sqlite3_bind_int64(statement_, index, value));
    return *this;
}

Query& Query::bind(int index, double value)
{
    if (statement_)
        check(sqlite3_bind_double(statement_, index, value));
    return *this;
}

Query& Query::bind(int index, const std::string& value)
{
    if (statement_)
        check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
}

bool Query::next()
{
    if (!ok())
        return false;
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE) {
        failed_ = true;
        qWarning() << "database:" << sqlite3_errmsg(connection_.handle());
    }
    return false;
}

bool Query::run()
{
    next();
    return ok();
}

int64_t Query::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

double Query::real(int column) const
{
    return sqlite3_column_double(statement_, column);
}

std::string Query::text(int column) const
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
}

void Query::check(int result)
{
    if (result != SQLITE_OK)
        failed_ = true;
}

Transaction::Transaction(Connection& connection) : connection_(connection)
{
    if (connection_.writer())
        lock_ = std::unique_lock<std::mutex>(*connection_.writer());
    active_ = connection_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (active_)
        connection_.exec("ROLLBACK");
}

bool Transaction::commit()
{
    if (!active_)
        return false;
    active_ = false;
    if (connection_.exec("COMMIT"))
        return true;
    connection_.exec("ROLLBACK");
    return false;
}

} // namespace service
