#pragma once

// The connections of one database that a Store keeps (for store*.cpp only).

#include "service/storesql.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace service {

class ConnectionPool {
public:
    // Connections to `database` (a SQLite file when not `postgres`), at most
    // `bound` open at once (0: no bound), of which at most `keep` are kept
    // open while idle. SQLite writers of this process queue on `writer`.
    ConnectionPool(std::string database, bool postgres, std::mutex* writer, size_t bound, size_t keep);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // An idle connection, or a new one; at the bound, waits for one to be
    // released, at most `waitMs`. Nothing, with the reason in `error` and the
    // log, when none can be had.
    std::unique_ptr<Connection> acquire(std::string* error = nullptr, int waitMs = 10000);
    // Takes a connection back; one that broke or that is not needed is closed.
    void release(std::unique_ptr<Connection> connection);

    // Open connections, idle or in use.
    size_t open() const;

private:
    const std::string database_;
    const bool postgres_;
    std::mutex* const writer_;
    const size_t bound_;
    const size_t keep_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    size_t open_ = 0;
    std::vector<std::unique_ptr<Connection>> idle_;
};

// Whether `database` names a PostgreSQL database: a postgresql:// or
// postgres:// URL, or a libpq keyword string ("host=... dbname=..."); any
// other text is the path of a SQLite file.
bool isPostgresDatabase(const std::string& database);

// `database` as it may be shown: without a password.
std::string withoutPassword(const std::string& database);

} // namespace service
