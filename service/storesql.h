#pragma once

// The SQLite pieces under the Store: a connection with its cached prepared
// statements, one use of a statement, a transaction, and the schema
// (storeschema.cpp). For store*.cpp only.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace service {

// One connection to the database file. Failures of its statements are logged
// with the database's reason and come back as false or nothing.
class Connection {
public:
    // Opens the file (creating it when missing) with the store's settings;
    // writers of this process queue on `writer`. Nothing, with the reason in
    // `error`, when the file cannot be opened.
    static std::unique_ptr<Connection> open(const std::string& path, std::mutex* writer,
                                            std::string* error = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs SQL that returns no rows; false, logged, on failure.
    bool exec(const char* sql);
    // The statement of `sql`, prepared once per connection; null, logged, on failure.
    sqlite3_stmt* prepare(const char* sql);

    sqlite3* handle() const { return db_; }
    std::mutex* writer() const { return writer_; }
    // The database's reason for its last failure.
    std::string lastError() const;
    int64_t lastInsertRow() const;
    // Rows the last statement inserted, changed or deleted.
    int64_t changes() const;

private:
    Connection() = default;

    sqlite3* db_ = nullptr;
    std::mutex* writer_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

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
    // Runs a statement that returns no rows.
    bool run();
    int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;

private:
    void check(int result);

    Connection& connection_;
    sqlite3_stmt* statement_;
    bool failed_ = false;
};

// A transaction that rolls back unless committed. Writers of this process
// queue on the store's writer lock, so none of them meets a locked database;
// the busy timeout only serves against other processes.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool active() const { return active_; }
    bool commit();

private:
    Connection& connection_;
    std::unique_lock<std::mutex> lock_;
    bool active_ = false;
};

class Store;

// A connection borrowed from the store's pool for one operation (store.cpp).
class Lease {
public:
    explicit Lease(Store& store);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    explicit operator bool() const { return connection_ != nullptr; }
    Connection& operator*() { return *connection_; }

private:
    Store& store_;
    std::unique_ptr<Connection> connection_;
};

// Moves the database at `path`, open in `connection`, from its schema version
// to this program's, each step in its own transaction; false with the reason
// in `error` (which must not be null).
bool migrate(Connection& connection, const std::string& path, std::string* error);

} // namespace service
