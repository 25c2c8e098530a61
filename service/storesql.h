#pragma once

// The pieces under the Store, for store*.cpp only: a connection to a database
// with its cached prepared statements, one use of a statement, a transaction,
// a connection borrowed for one operation, and the schemas. SQLite
// (storesqlite.cpp) and PostgreSQL (storepostgres.cpp) each implement
// Connection and Statement; the Store's SQL is written once for both: `?` or
// `?N` parameters, upserts as ON CONFLICT, new rows' ids by RETURNING, and
// the column "user" quoted.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace service {

// A prepared statement of one connection. Failures are logged with the
// database's reason.
class Statement {
public:
    virtual ~Statement() = default;
    virtual bool bind(int index, int64_t value) = 0;
    virtual bool bind(int index, double value) = 0;
    virtual bool bind(int index, const std::string& value) = 0;
    enum Step { row, done, failed };
    virtual Step step() = 0;
    // Ready for the next use, its parameters cleared.
    virtual void reset() = 0;
    // A column of the current row; 0 or "" for NULL.
    virtual int64_t integer(int column) const = 0;
    virtual double real(int column) const = 0;
    virtual std::string text(int column) const = 0;
};

// One connection to the database. Failures of its statements are logged with
// the database's reason and come back as false or nothing.
class Connection {
public:
    virtual ~Connection() = default;

    // Runs SQL (one or more statements) that returns no rows; false, logged, on failure.
    virtual bool exec(const char* sql) = 0;
    // The statement of `sql`, prepared once per connection; null, logged, on failure.
    virtual Statement* prepare(const char* sql) = 0;
    // The database's reason for its last failure.
    virtual std::string lastError() const = 0;
    // Rows the last statement inserted, changed or deleted.
    virtual int64_t changes() const = 0;

    enum class Begin { write, read };
    // Starts a transaction: one that writes, or one that reads a single state
    // of the database.
    virtual bool begin(Begin kind) = 0;
    // Within a write transaction: waits until no other transaction, of this
    // or any other process, holds `key`, and holds it to the end.
    virtual bool lock(int64_t key) = 0;
    virtual bool commit() = 0;
    virtual void rollback() = 0;

    // The link to the database server broke: the connection is of no more
    // use, and an operation that failed on it may succeed on a new one.
    virtual bool lost() const { return false; }
    // A commit was sent and no answer came: it may have taken effect.
    virtual bool commitUnknown() const { return false; }
    // Worth handing out again from the pool.
    virtual bool usable() const { return true; }
    // The lock that the writers of this process queue on (SQLite), or null.
    virtual std::mutex* writer() const { return nullptr; }
};

// Opens a SQLite connection to the file at `path` (creating it when missing),
// whose writers queue on `writer`; nothing, with the reason in `error`.
std::unique_ptr<Connection> openSqlite(const std::string& path, std::mutex* writer, std::string* error);
// Opens a PostgreSQL connection with libpq's connection string `database`;
// nothing, with the reason in `error`.
std::unique_ptr<Connection> openPostgres(const std::string& database, std::string* error);

// One use of a cached prepared statement; reset when it goes out of scope.
class Query {
public:
    Query(Connection& connection, const char* sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const { return statement_ && !failed_; }
    Query& bind(int index, int64_t value);
    Query& bind(int index, double value);
    Query& bind(int index, const std::string& value);
    // True while a row is available; false at the end or on failure (ok() tells).
    bool next();
    // Runs a statement whose rows are not read.
    bool run();
    // Reads past the rows left, so that the statement is complete (before a
    // commit); false when it failed.
    bool finish();
    int64_t integer(int column) const { return statement_->integer(column); }
    double real(int column) const { return statement_->real(column); }
    std::string text(int column) const { return statement_->text(column); }

private:
    Statement* statement_;
    bool failed_ = false;
    bool done_ = false;
};

// A write transaction that rolls back unless committed. Writers of this
// process queue on the connection's writer lock, if it has one.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool active() const { return active_; }
    // Holds `key` against every other transaction until the end (Connection::lock).
    bool lock(int64_t key);
    bool commit();

private:
    Connection& connection_;
    std::unique_lock<std::mutex> lock_;
    bool active_ = false;
};

class Store;

// A connection for one operation: the connection of this thread's
// Store::Reading when one lives and the operation only reads, otherwise one
// borrowed from the store's pool of the primary database (store.cpp).
class Lease {
public:
    enum Use { write, read };
    explicit Lease(Store& store, Use use = write);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return connection_ != nullptr; }
    Connection& operator*() { return *connection_; }

private:
    Store& store_;
    std::unique_ptr<Connection> owned_;
    Connection* connection_ = nullptr;
};

// Runs `operation` (a callable taking a Connection& and returning a bool or an
// optional) on a connection of the store; when it fails because the link to
// the database broke before anything could have been committed, once more on
// a new connection.
template <typename Operation>
auto retrying(Store& store, Lease::Use use, Operation operation) -> decltype(operation(std::declval<Connection&>()))
{
    for (int attempt = 0;; ++attempt) {
        Lease lease(store, attempt == 0 ? use : Lease::write);
        if (!lease)
            return {};
        auto result = operation(*lease);
        if (result || attempt > 0 || !(*lease).lost() || (*lease).commitUnknown())
            return result;
    }
}

// Moves the database open in `connection`, named `name` in messages, from its
// schema version to this program's in one transaction; false with the reason
// in `error` (which must not be null). SQLite (storeschema.cpp) and
// PostgreSQL (storeschemapg.cpp).
bool migrateSqlite(Connection& connection, const std::string& name, std::string* error);
bool migratePostgres(Connection& connection, const std::string& name, std::string* error);
int sqliteSchemaVersion();
int postgresSchemaVersion();

} // namespace service
