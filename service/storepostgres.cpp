// The store's connections to PostgreSQL, through libpq.

#include "service/storesql.h"

#include <libpq-fe.h>

#include <QDebug>

#include <poll.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace service {

namespace {

// The Store's SQL with PostgreSQL's parameters: `?N` becomes `$N` and each
// bare `?` the next number; quoted text is left alone. `count` is the highest
// parameter.
std::string numberedParameters(const char* sql, int* count)
{
    std::string out;
    int next = 0;
    *count = 0;
    char quote = 0;
    for (const char* p = sql; *p; ++p) {
        if (quote) {
            quote = *p == quote ? 0 : quote;
        } else if (*p == '\'' || *p == '"') {
            quote = *p;
        } else if (*p == '?') {
            int number = 0;
            while (p[1] >= '0' && p[1] <= '9' && number < 100000)
                number = number * 10 + (*++p - '0');
            if (number == 0)
                number = ++next;
            *count = std::max(*count, number);
            out += '$' + std::to_string(number);
            continue;
        }
        out += *p;
    }
    return out;
}

// The server's message without its trailing newline.
std::string trimmed(const char* message)
{
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "no answer from the database" : text;
}

class PostgresConnection;

class PostgresStatement : public Statement {
public:
    PostgresStatement(PostgresConnection& connection, std::string name, int parameters)
        : connection_(connection), name_(std::move(name)), values_(static_cast<size_t>(parameters))
    {
    }
    ~PostgresStatement() override { reset(); }

    bool bind(int index, int64_t value) override { return set(index, std::to_string(value)); }
    bool bind(int index, double value) override
    {
        if (std::isnan(value))
            return set(index, "NaN");
        if (std::isinf(value))
            return set(index, value > 0 ? "Infinity" : "-Infinity");
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        return set(index, text);
    }
    // Text reaches the server as a C string, so one with a NUL byte is refused.
    bool bind(int index, const std::string& value) override
    {
        return value.find('\0') == std::string::npos && set(index, value);
    }
    Step step() override;
    void reset() override;
    int64_t integer(int column) const override
    {
        return PQgetisnull(row_, 0, column) ? 0 : std::strtoll(PQgetvalue(row_, 0, column), nullptr, 10);
    }
    double real(int column) const override
    {
        return PQgetisnull(row_, 0, column) ? 0 : std::strtod(PQgetvalue(row_, 0, column), nullptr);
    }
    std::string text(int column) const override
    {
        return std::string(PQgetvalue(row_, 0, column), static_cast<size_t>(PQgetlength(row_, 0, column)));
    }

private:
    bool set(int index, std::string value)
    {
        if (index < 1 || static_cast<size_t>(index) > values_.size())
            return false;
        values_[static_cast<size_t>(index) - 1] = std::move(value);
        return true;
    }
    friend class PostgresConnection;
    void drain();

    PostgresConnection& connection_;
    const std::string name_;
    std::vector<std::string> values_;
    PGresult* row_ = nullptr;
    bool sent_ = false;
};

class PostgresConnection : public Connection {
public:
    explicit PostgresConnection(PGconn* db) : db_(db) {}
    ~PostgresConnection() override
    {
        statements_.clear();
        PQfinish(db_);
    }

    bool exec(const char* sql) override
    {
        settle(nullptr);
        PGresult* result = PQexec(db_, sql);
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = result && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
        if (ok)
            changes_ = std::atoll(PQcmdTuples(result));
        else
            failed(result, sql);
        PQclear(result);
        return ok;
    }

    Statement* prepare(const char* sql) override
    {
        auto found = statements_.find(sql);
        if (found != statements_.end())
            return found->second.get();
        settle(nullptr);
        int parameters = 0;
        const std::string text = numberedParameters(sql, &parameters);
        const std::string name = "s" + std::to_string(statements_.size() + 1);
        PGresult* result = PQprepare(db_, name.c_str(), text.c_str(), 0, nullptr);
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        if (!ok)
            failed(result, sql);
        PQclear(result);
        if (!ok)
            return nullptr;
        return statements_.emplace(sql, std::make_unique<PostgresStatement>(*this, name, parameters))
            .first->second.get();
    }

    std::string lastError() const override { return lastError_; }
    int64_t changes() const override { return changes_; }

    bool begin(Begin kind) override
    {
        return exec(kind == Begin::write ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    }
    bool lock(int64_t key) override
    {
        Query q(*this, "SELECT pg_advisory_xact_lock(CAST(? AS BIGINT))");
        return q.bind(1, key).run();
    }
    bool commit() override
    {
        committing_ = true;
        const bool done = exec("COMMIT");
        committing_ = !done && lost();
        return done;
    }
    void rollback() override
    {
        if (!lost())
            exec("ROLLBACK");
    }
    bool lost() const override { return PQstatus(db_) != CONNECTION_OK; }
    bool commitUnknown() const override { return committing_; }
    // Idle, in no transaction, and nothing came from the server meanwhile
    // (a server that shuts down says so on every connection).
    bool usable() const override
    {
        if (lost() || PQtransactionStatus(db_) != PQTRANS_IDLE)
            return false;
        pollfd entry { PQsocket(db_), POLLIN, 0 };
        return poll(&entry, 1, 0) == 0;
    }

    PGconn* handle() const { return db_; }
    // One statement's results come at a time: the rows that `next` (or any
    // other command, for null) would find waiting are read and dropped.
    void settle(PostgresStatement* next);
    void setActive(PostgresStatement* statement) { active_ = statement; }
    void setChanges(int64_t changes) { changes_ = changes; }
    void failed(const PGresult* result, const char* sql)
    {
        lastError_ = trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(db_));
        if (lastError_ == "no answer from the database")
            lastError_ = trimmed(PQerrorMessage(db_));
        qWarning() << "database:" << lastError_.c_str() << "in" << QByteArray(sql).left(80);
    }

private:
    PGconn* db_;
    std::map<std::string, std::unique_ptr<PostgresStatement>> statements_;
    std::string lastError_;
    int64_t changes_ = 0;
    bool committing_ = false;
    PostgresStatement* active_ = nullptr; // the statement whose results are coming
};

void PostgresConnection::settle(PostgresStatement* next)
{
    if (active_ && active_ != next)
        active_->drain();
    active_ = next;
}

Statement::Step PostgresStatement::step()
{
    PGconn* db = connection_.handle();
    PQclear(row_);
    row_ = nullptr;
    if (!sent_) {
        connection_.settle(this);
        std::vector<const char*> values;
        for (const std::string& value : values_)
            values.push_back(value.c_str());
        if (!PQsendQueryPrepared(db, name_.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0)) {
            connection_.failed(nullptr, name_.c_str());
            return failed;
        }
        sent_ = true;
        // Rows come one at a time, so a long result is never held whole.
        PQsetSingleRowMode(db);
    }
    PGresult* result = PQgetResult(db);
    switch (PQresultStatus(result)) {
    case PGRES_SINGLE_TUPLE:
        row_ = result;
        return row;
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK:
        connection_.setChanges(std::atoll(PQcmdTuples(result)));
        PQclear(result);
        drain();
        return done;
    default:
        connection_.failed(result, name_.c_str());
        PQclear(result);
        drain();
        return failed;
    }
}

void PostgresStatement::drain()
{
    if (!sent_)
        return;
    while (PGresult* result = PQgetResult(connection_.handle()))
        PQclear(result);
    sent_ = false;
    connection_.setActive(nullptr);
}

void PostgresStatement::reset()
{
    PQclear(row_);
    row_ = nullptr;
    drain();
    for (std::string& value : values_)
        value.clear();
}

// Notices (such as "relation already exists, skipping") are not the service's
// concern; warnings go to the log.
void receiveNotice(void*, const PGresult* result)
{
    const char* severity = PQresultErrorField(result, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (severity && std::string(severity) == "WARNING")
        qWarning() << "database:" << trimmed(PQresultErrorMessage(result)).c_str();
}

} // namespace

std::unique_ptr<Connection> openPostgres(const std::string& database, std::string* error)
{
    const char* const keywords[] = { "dbname", "fallback_application_name", "client_encoding", nullptr };
    const char* const values[] = { database.c_str(), "kestrel-service", "UTF8", nullptr };
    PGconn* db = PQconnectdbParams(keywords, values, 1);
    if (!db || PQstatus(db) != CONNECTION_OK) {
        if (error)
            *error = "cannot connect to the database: " + trimmed(db ? PQerrorMessage(db) : "out of memory");
        PQfinish(db);
        return nullptr;
    }
    PQsetNoticeReceiver(db, receiveNotice, nullptr);
    return std::make_unique<PostgresConnection>(db);
}

} // namespace service
