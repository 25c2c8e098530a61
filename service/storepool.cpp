#include "service/storepool.h"

#include <QDebug>

#include <chrono>
#include <regex>

namespace service {

ConnectionPool::ConnectionPool(std::string database, bool postgres, std::mutex* writer, size_t bound, size_t keep)
    : database_(std::move(database)), postgres_(postgres), writer_(writer), bound_(bound), keep_(keep)
{
}

ConnectionPool::~ConnectionPool() = default;

std::unique_ptr<Connection> ConnectionPool::acquire(std::string* error, int waitMs)
{
    // The reason goes to the log unless the caller takes it.
    std::string ignored;
    const bool log = !error;
    if (!error)
        error = &ignored;
    std::vector<std::unique_ptr<Connection>> broken; // closed outside the lock
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            while (!idle_.empty()) {
                auto connection = std::move(idle_.back());
                idle_.pop_back();
                if (connection->usable())
                    return connection;
                broken.push_back(std::move(connection));
                --open_;
            }
            if (bound_ == 0 || open_ < bound_)
                break;
            if (released_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty()
                && open_ >= bound_) {
                *error = "all " + std::to_string(bound_) + " connections to the database are busy";
                if (log)
                    qWarning() << "database:" << error->c_str();
                return nullptr;
            }
        }
        ++open_;
    }
    auto connection = postgres_ ? openPostgres(database_, error) : openSqlite(database_, writer_, error);
    if (!connection) {
        if (log)
            qWarning() << "database:" << error->c_str();
        std::lock_guard<std::mutex> lock(mutex_);
        --open_;
        released_.notify_one();
    }
    return connection;
}

void ConnectionPool::release(std::unique_ptr<Connection> connection)
{
    if (!connection)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Each SQLite connection holds its own page cache: a burst's extra
        // connections are closed instead of kept.
        if (idle_.size() < keep_ && connection->usable()) {
            idle_.push_back(std::move(connection));
        } else {
            --open_;
        }
        released_.notify_one();
    }
}

size_t ConnectionPool::open() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

bool isPostgresDatabase(const std::string& database)
{
    static const std::regex pattern(R"(^(postgres(ql)?://.*|\s*[A-Za-z_]+\s*=.*)$)");
    return std::regex_match(database, pattern);
}

std::string withoutPassword(const std::string& database)
{
    // user:password@ in a URL, password=... in its query or in a keyword string
    static const std::regex inUrl(R"(^(postgres(ql)?://[^:@/]*):[^@/]*@)");
    static const std::regex keyword(R"((^|[\s?&])password\s*=\s*('([^'\\]|\\.)*'|[^\s&]*))");
    std::string text = std::regex_replace(database, inUrl, "$1@", std::regex_constants::format_first_only);
    return std::regex_replace(text, keyword, "$1password=***");
}

} // namespace service
