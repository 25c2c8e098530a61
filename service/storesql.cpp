#include "service/storesql.h"

namespace service {

Query::Query(Connection& connection, const char* sql) : statement_(connection.prepare(sql)) {}

Query::~Query()
{
    if (statement_)
        statement_->reset();
}

Query& Query::bind(int index, int64_t value)
{
    if (statement_ && !statement_->bind(index, value))
        failed_ = true;
    return *this;
}

Query& Query::bind(int index, double value)
{
    if (statement_ && !statement_->bind(index, value))
        failed_ = true;
    return *this;
}

Query& Query::bind(int index, const std::string& value)
{
    if (statement_ && !statement_->bind(index, value))
        failed_ = true;
    return *this;
}

bool Query::next()
{
    if (!ok() || done_)
        return false;
    switch (statement_->step()) {
    case Statement::row:
        return true;
    case Statement::done:
        done_ = true;
        return false;
    case Statement::failed:
        break;
    }
    failed_ = true;
    return false;
}

bool Query::run()
{
    next();
    return ok();
}

bool Query::finish()
{
    while (next()) {
    }
    return ok();
}

Transaction::Transaction(Connection& connection) : connection_(connection)
{
    if (connection_.writer())
        lock_ = std::unique_lock<std::mutex>(*connection_.writer());
    active_ = connection_.begin(Connection::Begin::write);
}

Transaction::~Transaction()
{
    if (active_)
        connection_.rollback();
}

bool Transaction::lock(int64_t key)
{
    return active_ && connection_.lock(key);
}

bool Transaction::commit()
{
    if (!active_)
        return false;
    active_ = false;
    if (connection_.commit())
        return true;
    connection_.rollback();
    return false;
}

} // namespace service
