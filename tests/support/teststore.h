#pragma once

// Where the service's tests keep their stores: SQLite files, or databases of
// a throwaway PostgreSQL cluster when KESTREL_TEST_STORE=postgresql.

#include "support/pgcluster.h"

#include <QString>
#include <QtGlobal>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

// Whether the service's tests run on PostgreSQL (KESTREL_TEST_STORE=postgresql)
// instead of SQLite. Without PostgreSQL's programs the test program ends here,
// skipped.
inline bool onPostgres()
{
    static const bool wanted = qgetenv("KESTREL_TEST_STORE") == "postgresql";
    if (wanted && !PgCluster::available()) {
        std::fputs("SKIP: PostgreSQL's initdb and pg_ctl are not installed\n", stdout);
        std::fflush(stdout);
        std::_Exit(77);
    }
    return wanted;
}

inline bool isPostgresUrl(const QString& database)
{
    return database.startsWith("postgresql://") || database.startsWith("postgres://");
}

// The database of one test's store: the SQLite file `file` (or none when it
// is empty), or on PostgreSQL a new database of this program's cluster,
// dropped with this object.
class TestDatabase {
public:
    explicit TestDatabase(const QString& file)
    {
        if (!onPostgres()) {
            path_ = file;
            return;
        }
        PgCluster& cluster = PgCluster::shared();
        name_ = cluster.valid() ? cluster.createDatabase() : std::string();
        if (name_.empty())
            qFatal("cannot make a PostgreSQL database: %s", qPrintable(cluster.error()));
        path_ = QString::fromStdString(cluster.url(name_));
    }
    ~TestDatabase()
    {
        if (!name_.empty())
            PgCluster::shared().dropDatabase(name_);
    }
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    // The file, or the database's URL.
    const QString& path() const { return path_; }

private:
    QString path_;
    std::string name_;
};

// The first column of the first row `sql` gives on `database` (a SQLite file,
// opened afresh and read-only, or a PostgreSQL URL): "" when there is none,
// "cannot open" for a file that cannot be opened, "error: …" when PostgreSQL
// refuses.
inline std::string sqlValue(const QString& database, const std::string& sql)
{
    if (isPostgresUrl(database))
        return PgCluster::valueAt(database.toStdString(), sql);
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(database.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        result.clear();
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

// Runs `sql` (statements separated by semicolons) on `database`.
inline bool sqlExecute(const QString& database, const std::string& sql)
{
    if (isPostgresUrl(database))
        return PgCluster::executeAt(database.toStdString(), sql);
    sqlite3* db = nullptr;
    const bool done = sqlite3_open(database.toUtf8().constData(), &db) == SQLITE_OK
        && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}

} // namespace testsupport
