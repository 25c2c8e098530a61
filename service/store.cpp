#include "service/store.h"

#include <sqlite3.h>

#include <QDebug>

#include <map>

#include <sys/random.h>
#include <cerrno>
#include <cstring>

namespace service {

namespace {

// Each entry moves the schema one version up; a database is migrated by
// running the entries past its user_version, each in its own transaction.
const char* const migrations[] = {
    // 1: the first schema
    "CREATE TABLE users ("
    "  id INTEGER PRIMARY KEY,"
    "  user_id TEXT NOT NULL UNIQUE,"
    "  phone_name TEXT NOT NULL,"
    "  phone_key TEXT NOT NULL,"
    "  created INTEGER NOT NULL);"
    "CREATE TABLE fixes ("
    "  user INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
    "  time INTEGER NOT NULL,"
    "  latitude REAL NOT NULL,"
    "  longitude REAL NOT NULL,"
    "  altitude REAL NOT NULL,"
    "  accuracy REAL NOT NULL,"
    "  zone TEXT NOT NULL,"
    "  PRIMARY KEY (user, time)) WITHOUT ROWID;"
    "CREATE TABLE sync_codes ("
    "  code TEXT PRIMARY KEY,"
    "  owner INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
    "  created INTEGER NOT NULL);"
    "CREATE INDEX sync_codes_created ON sync_codes(created);"
    "CREATE TABLE cameras ("
    "  id INTEGER PRIMARY KEY,"
    "  owner INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
    "  model TEXT NOT NULL,"
    "  serial_number TEXT NOT NULL,"
    "  internal_serial_number TEXT NOT NULL,"
    "  identity TEXT NOT NULL,"
    "  UNIQUE (owner, model, identity));"
    "CREATE TABLE synchronizations ("
    "  sync_id TEXT PRIMARY KEY,"
    "  camera INTEGER NOT NULL REFERENCES cameras(id) ON DELETE CASCADE,"
    "  code TEXT NOT NULL,"
    "  clock_offset INTEGER NOT NULL,"
    "  camera_time INTEGER NOT NULL,"
    "  utc_time INTEGER NOT NULL,"
    "  zone_id TEXT NOT NULL,"
    "  zone_offset TEXT NOT NULL,"
    "  zone_name TEXT NOT NULL,"
    "  local_time TEXT NOT NULL,"
    "  UNIQUE (camera, code));",
    // 2: a code hands out its owner's identifier only once
    "ALTER TABLE sync_codes ADD COLUMN granted INTEGER NOT NULL DEFAULT 0;",
    // 3: the keys with which tracker apps deliver a phone's positions
    "CREATE TABLE device_keys ("
    "  key TEXT PRIMARY KEY,"
    "  user INTEGER NOT NULL UNIQUE REFERENCES users(id) ON DELETE CASCADE);"
    "INSERT INTO device_keys (key, user) SELECT lower(hex(randomblob(16))), id FROM users;",
};

constexpr int migrationCount = sizeof migrations / sizeof migrations[0];

} // namespace

class Connection {
public:
    ~Connection()
    {
        for (auto& entry : statements)
            sqlite3_finalize(entry.second);
        sqlite3_close_v2(db);
    }

    bool exec(const char* sql)
    {
        char* message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        qWarning() << "database:" << (message ? message : "error") << "in" << QByteArray(sql).left(80);
        sqlite3_free(message);
        return false;
    }

    sqlite3_stmt* prepare(const char* sql)
    {
        auto found = statements.find(sql);
        if (found != statements.end())
            return found->second;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            qWarning() << "database:" << sqlite3_errmsg(db) << "preparing" << QByteArray(sql).left(80);
            return nullptr;
        }
        statements.emplace(sql, statement);
        return statement;
    }

    sqlite3* db = nullptr;
    std::mutex* writer = nullptr; // the store's writer queue
    std::map<std::string, sqlite3_stmt*> statements;
};

namespace {

// One use of a cached prepared statement; reset when it goes out of scope.
class Query {
public:
    Query(Connection& connection, const char* sql) : connection_(connection), statement_(connection.prepare(sql)) {}
    ~Query()
    {
        if (statement_) {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const { return statement_ && !failed_; }
    Query& bind(int index, int64_t value)
    {
        if (statement_)
            check(sqlite3_bind_int64(statement_, index, value));
        return *this;
    }
    Query& bind(int index, double value)
    {
        if (statement_)
            check(sqlite3_bind_double(statement_, index, value));
        return *this;
    }
    Query& bind(int index, const std::string& value)
    {
        if (statement_)
            check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
        return *this;
    }
    // True while a row is available; false at the end or on failure (ok() tells).
    bool next()
    {
        if (!ok())
            return false;
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW)
            return true;
        if (result != SQLITE_DONE) {
            failed_ = true;
            qWarning() << "database:" << sqlite3_errmsg(connection_.db);
        }
        return false;
    }
    // Runs a statement that returns no rows.
    bool run()
    {
        next();
        return ok();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double real(int column) const { return sqlite3_column_double(statement_, column); }
    std::string text(int column) const
    {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return bytes ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement_, column))) : std::string();
    }

private:
    void check(int result)
    {
        if (result != SQLITE_OK)
            failed_ = true;
    }
    Connection& connection_;
    sqlite3_stmt* statement_;
    bool failed_ = false;
};

// A transaction that rolls back unless committed. Writers of this process
// queue on the store's writer lock, so none of them meets a locked database;
// the busy timeout only serves against other processes.
class Transaction {
public:
    explicit Transaction(Connection& connection) : connection_(connection)
    {
        if (connection_.writer)
            lock_ = std::unique_lock<std::mutex>(*connection_.writer);
        active_ = connection_.exec("BEGIN IMMEDIATE");
    }
    ~Transaction()
    {
        if (active_)
            connection_.exec("ROLLBACK");
    }
    bool active() const { return active_; }
    bool commit()
    {
        if (!active_)
            return false;
        active_ = false;
        if (connection_.exec("COMMIT"))
            return true;
        connection_.exec("ROLLBACK");
        return false;
    }

private:
    Connection& connection_;
    std::unique_lock<std::mutex> lock_;
    bool active_ = false;
};

User readUser(const Query& q)
{
    User user;
    user.id = q.integer(0);
    user.userId = q.text(1);
    user.phoneName = q.text(2);
    user.phoneKey = q.text(3);
    return user;
}

Fix readFix(const Query& q)
{
    Fix fix;
    fix.time = q.integer(0);
    fix.latitude = q.real(1);
    fix.longitude = q.real(2);
    fix.altitude = q.real(3);
    fix.accuracy = q.real(4);
    fix.zoneId = q.text(5);
    return fix;
}

Synchronization readSynchronization(const Query& q)
{
    Synchronization sync;
    sync.syncId = q.text(0);
    sync.code = q.text(1);
    sync.clockOffset = q.integer(2);
    sync.cameraTime = q.integer(3);
    sync.utcTime = q.integer(4);
    sync.zoneId = q.text(5);
    sync.zoneOffset = q.text(6);
    sync.zoneName = q.text(7);
    sync.localTime = q.text(8);
    return sync;
}

const char* const synchronizationColumns =
    "sync_id, code, clock_offset, camera_time, utc_time, zone_id, zone_offset, zone_name, local_time";

std::unique_ptr<Connection> openConnection(const std::string& path, std::string* error)
{
    auto connection = std::make_unique<Connection>();
    const int result = sqlite3_open_v2(path.c_str(), &connection->db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (result != SQLITE_OK) {
        if (error)
            *error = "cannot open the database " + path + ": "
                + (connection->db ? sqlite3_errmsg(connection->db) : sqlite3_errstr(result));
        return nullptr;
    }
    sqlite3_busy_timeout(connection->db, 10000);
    sqlite3_extended_result_codes(connection->db, 1);
    if (!connection->exec("PRAGMA foreign_keys = ON") || !connection->exec("PRAGMA synchronous = NORMAL")) {
        if (error)
            *error = "cannot use the database " + path + ": " + sqlite3_errmsg(connection->db);
        return nullptr;
    }
    return connection;
}

} // namespace

// A connection borrowed from the store's pool for one operation.
class Lease {
public:
    explicit Lease(Store& store) : store_(store), connection_(store.acquire()) {}
    ~Lease()
    {
        if (connection_)
            store_.release(std::move(connection_));
    }
    explicit operator bool() const { return connection_ != nullptr; }
    Connection& operator*() { return *connection_; }

private:
    Store& store_;
    std::unique_ptr<Connection> connection_;
};

namespace {

// The store and connection of this thread's Store::Reading, if one lives.
thread_local Store* readingStore = nullptr;
thread_local Connection* readingConnection = nullptr;

// The first row of a query, its parameters bound in order, as `read` reads it.
template <typename Read, typename... Values>
auto firstRow(Store& store, const char* sql, Read read, const Values&... values)
    -> std::optional<decltype(read(std::declval<const Query&>()))>
{
    auto run = [&](Connection& connection) -> std::optional<decltype(read(std::declval<const Query&>()))> {
        Query q(connection, sql);
        int index = 0;
        (q.bind(++index, values), ...);
        if (q.next())
            return read(q);
        return std::nullopt;
    };
    if (readingStore == &store)
        return run(*readingConnection);
    Lease lease(store);
    if (!lease)
        return std::nullopt;
    return run(*lease);
}

} // namespace

std::string randomHex(int bytes)
{
    // The kernel's cryptographic source; it blocks only before the system's
    // pool is first seeded.
    std::string raw(static_cast<size_t>(bytes), '\0');
    size_t filled = 0;
    while (filled < raw.size()) {
        const ssize_t got = getrandom(&raw[filled], raw.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            qFatal("no cryptographic random source: %s", strerror(errno));
        }
        filled += static_cast<size_t>(got);
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(raw.size() * 2);
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

Store::Store() = default;
Store::~Store() = default;

Store::Reading::Reading(Store& store)
    : store_(store)
    , connection_(store.acquire())
    , outerStore_(readingStore)
    , outerConnection_(readingConnection)
{
    // Without a connection or a transaction the reads fall back to one
    // connection each, as they would without this.
    if (connection_ && connection_->exec("BEGIN")) {
        readingStore = &store;
        readingConnection = connection_.get();
    } else if (connection_) {
        store_.release(std::move(connection_));
    }
}

Store::Reading::~Reading()
{
    readingStore = outerStore_;
    readingConnection = outerConnection_;
    if (!connection_)
        return;
    if (!connection_->exec("COMMIT"))
        connection_->exec("ROLLBACK");
    store_.release(std::move(connection_));
}

int Store::schemaVersion()
{
    return migrationCount;
}

bool Store::open(const std::string& path, std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (path.empty() || path == ":memory:") {
        *error = "the database must be a file";
        return false;
    }
    path_ = path;
    auto connection = openConnection(path, error);
    if (!connection)
        return false;
    connection->writer = &writer_;
    // A file that is not a database shows itself at the first read.
    if (!connection->exec("PRAGMA journal_mode = WAL")) {
        *error = path + " is not a database of this service (" + sqlite3_errmsg(connection->db) + ")";
        return false;
    }
    int version = -1;
    {
        Query q(*connection, "PRAGMA user_version");
        if (q.next())
            version = static_cast<int>(q.integer(0));
    }
    if (version < 0) {
        *error = "cannot read the schema version of " + path;
        return false;
    }
    if (version > migrationCount) {
        *error = path + " has schema version " + std::to_string(version) + ", newer than this program's "
            + std::to_string(migrationCount);
        return false;
    }
    for (int step = version; step < migrationCount; ++step) {
        Transaction transaction(*connection);
        const std::string setVersion = "PRAGMA user_version = " + std::to_string(step + 1);
        if (!transaction.active() || !connection->exec(migrations[step]) || !connection->exec(setVersion.c_str())
            || !transaction.commit()) {
            *error = "cannot migrate " + path + " to schema version " + std::to_string(step + 1) + ": "
                + sqlite3_errmsg(connection->db);
            return false;
        }
    }
    release(std::move(connection));
    return true;
}

std::unique_ptr<Connection> Store::acquire()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle_.empty()) {
            auto connection = std::move(idle_.back());
            idle_.pop_back();
            return connection;
        }
    }
    std::string error;
    auto connection = openConnection(path_, &error);
    if (!connection)
        qWarning() << "database:" << error.c_str();
    else
        connection->writer = &writer_;
    return connection;
}

void Store::release(std::unique_ptr<Connection> connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Each connection holds its own page cache: a burst's extra connections
    // are closed instead of kept.
    if (idle_.size() < 16)
        idle_.push_back(std::move(connection));
}

std::optional<User> Store::createUser(const std::string& phoneName)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    User user;
    user.userId = randomHex(16);
    user.phoneName = phoneName;
    user.phoneKey = randomHex(16);
    Query q(*lease, "INSERT INTO users (user_id, phone_name, phone_key, created) VALUES (?, ?, ?, "
                    "CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER))");
    if (!q.bind(1, user.userId).bind(2, user.phoneName).bind(3, user.phoneKey).run())
        return std::nullopt;
    user.id = sqlite3_last_insert_rowid((*lease).db);
    if (!transaction.commit())
        return std::nullopt;
    return user;
}

std::optional<User> Store::userById(const std::string& userId)
{
    if (userId.empty())
        return std::nullopt;
    return firstRow(*this, "SELECT id, user_id, phone_name, phone_key FROM users WHERE user_id = ?", readUser, userId);
}

std::optional<User> Store::userByRow(int64_t id)
{
    return firstRow(*this, "SELECT id, user_id, phone_name, phone_key FROM users WHERE id = ?", readUser, id);
}

int64_t Store::userCount()
{
    Lease lease(*this);
    if (!lease)
        return -1;
    Query q(*lease, "SELECT count(*) FROM users");
    return q.next() ? q.integer(0) : -1;
}

std::vector<User> Store::users()
{
    std::vector<User> list;
    Lease lease(*this);
    if (!lease)
        return list;
    Query q(*lease, "SELECT id, user_id, phone_name, phone_key FROM users ORDER BY id");
    while (q.next())
        list.push_back(readUser(q));
    return list;
}

namespace {

// Stores fixes in one transaction; orIgnore keeps a fix already stored at the
// same time, otherwise the new one replaces it. The number of rows written,
// -1 on failure (then nothing was stored).
int64_t insertFixes(Lease& lease, int64_t user, const std::vector<Fix>& fixes, bool orIgnore)
{
    if (!lease)
        return -1;
    Transaction transaction(*lease);
    if (!transaction.active())
        return -1;
    const char* const sql = orIgnore
        ? "INSERT OR IGNORE INTO fixes (user, time, latitude, longitude, altitude, accuracy, zone) "
          "VALUES (?, ?, ?, ?, ?, ?, ?)"
        : "INSERT OR REPLACE INTO fixes (user, time, latitude, longitude, altitude, accuracy, zone) "
          "VALUES (?, ?, ?, ?, ?, ?, ?)";
    int64_t written = 0;
    for (const Fix& fix : fixes) {
        Query q(*lease, sql);
        if (!q.bind(1, user)
                 .bind(2, fix.time)
                 .bind(3, fix.latitude)
                 .bind(4, fix.longitude)
                 .bind(5, fix.altitude)
                 .bind(6, fix.accuracy)
                 .bind(7, fix.zoneId)
                 .run())
            return -1;
        written += sqlite3_changes((*lease).db);
    }
    return transaction.commit() ? written : -1;
}

} // namespace

int64_t Store::addFixes(int64_t user, const std::vector<Fix>& fixes)
{
    Lease lease(*this);
    return insertFixes(lease, user, fixes, false) < 0 ? -1 : static_cast<int64_t>(fixes.size());
}

int64_t Store::addNewFixes(int64_t user, const std::vector<Fix>& fixes)
{
    Lease lease(*this);
    return insertFixes(lease, user, fixes, true);
}

int64_t Store::fixCount(int64_t user)
{
    Lease lease(*this);
    if (!lease)
        return -1;
    Query q(*lease, "SELECT count(*) FROM fixes WHERE user = ?");
    return q.bind(1, user).next() ? q.integer(0) : -1;
}

std::optional<Fix> Store::fixAtOrBefore(int64_t user, int64_t time)
{
    return firstRow(*this,
                    "SELECT time, latitude, longitude, altitude, accuracy, zone FROM fixes "
                    "WHERE user = ? AND time <= ? ORDER BY time DESC LIMIT 1",
                    readFix, user, time);
}

std::optional<Fix> Store::fixAtOrAfter(int64_t user, int64_t time)
{
    return firstRow(*this,
                    "SELECT time, latitude, longitude, altitude, accuracy, zone FROM fixes "
                    "WHERE user = ? AND time >= ? ORDER BY time ASC LIMIT 1",
                    readFix, user, time);
}

std::optional<SyncCode> Store::createSyncCode(int64_t owner, int64_t now)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    SyncCode code { randomHex(8), owner, now };
    {
        Query q(*lease, "INSERT INTO sync_codes (code, owner, created) VALUES (?, ?, ?)");
        if (!q.bind(1, code.code).bind(2, owner).bind(3, now).run())
            return std::nullopt;
    }
    if (!transaction.commit())
        return std::nullopt;
    return code;
}

std::optional<SyncCode> Store::syncCode(const std::string& code)
{
    return firstRow(
        *this, "SELECT code, owner, created FROM sync_codes WHERE code = ?",
        [](const Query& q) { return SyncCode { q.text(0), q.integer(1), q.integer(2) }; }, code);
}

bool Store::grantSyncCode(const std::string& code)
{
    Lease lease(*this);
    if (!lease)
        return false;
    Transaction transaction(*lease);
    if (!transaction.active())
        return false;
    {
        Query q(*lease, "UPDATE sync_codes SET granted = 1 WHERE code = ? AND granted = 0");
        if (!q.bind(1, code).run())
            return false;
    }
    const bool granted = sqlite3_changes((*lease).db) == 1;
    return transaction.commit() && granted;
}

std::optional<Camera> Store::findCamera(int64_t user, const std::string& model, const std::string& identity)
{
    return firstRow(
        *this,
        "SELECT id, model, serial_number, internal_serial_number FROM cameras "
        "WHERE owner = ? AND model = ? AND identity = ?",
        [](const Query& q) {
            Camera camera;
            camera.id = q.integer(0);
            camera.model = q.text(1);
            camera.serialNumber = q.text(2);
            camera.internalSerialNumber = q.text(3);
            return camera;
        },
        user, model, identity);
}

std::optional<Synchronization> Store::addSynchronization(int64_t user, const std::string& model,
                                                         const std::string& serialNumber,
                                                         const std::string& internalSerialNumber,
                                                         const Synchronization& sync)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    const std::string identity = serialNumber.empty() ? internalSerialNumber : serialNumber;
    int64_t camera = 0;
    {
        Query q(*lease, "SELECT id FROM cameras WHERE owner = ? AND model = ? AND identity = ?");
        if (q.bind(1, user).bind(2, model).bind(3, identity).next())
            camera = q.integer(0);
        else if (!q.ok())
            return std::nullopt;
    }
    if (camera == 0) {
        Query q(*lease, "INSERT INTO cameras (owner, model, serial_number, internal_serial_number, identity) "
                        "VALUES (?, ?, ?, ?, ?)");
        if (!q.bind(1, user).bind(2, model).bind(3, serialNumber).bind(4, internalSerialNumber).bind(5, identity).run())
            return std::nullopt;
        camera = sqlite3_last_insert_rowid((*lease).db);
    }
    {
        Query q(*lease, "DELETE FROM synchronizations WHERE camera = ? AND code = ?");
        if (!q.bind(1, camera).bind(2, sync.code).run())
            return std::nullopt;
    }
    Synchronization stored = sync;
    stored.syncId = randomHex(8);
    Query q(*lease, "INSERT INTO synchronizations (sync_id, camera, code, clock_offset, camera_time, utc_time, "
                    "zone_id, zone_offset, zone_name, local_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!q.bind(1, stored.syncId)
             .bind(2, camera)
             .bind(3, stored.code)
             .bind(4, stored.clockOffset)
             .bind(5, stored.cameraTime)
             .bind(6, stored.utcTime)
             .bind(7, stored.zoneId)
             .bind(8, stored.zoneOffset)
             .bind(9, stored.zoneName)
             .bind(10, stored.localTime)
             .run())
        return std::nullopt;
    if (!transaction.commit())
        return std::nullopt;
    return stored;
}

std::optional<Synchronization> Store::closestSynchronization(int64_t camera, int64_t cameraTime)
{
    static const std::string sql = std::string("SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY abs(camera_time - ?), utc_time DESC LIMIT 1";
    // Both times lie within the years 1000 to 9999, so the difference cannot overflow.
    return firstRow(*this, sql.c_str(), readSynchronization, camera, cameraTime);
}

std::vector<Camera> Store::cameras(int64_t user)
{
    std::vector<Camera> list;
    Lease lease(*this);
    if (!lease)
        return list;
    {
        Query q(*lease, "SELECT id, model, serial_number, internal_serial_number FROM cameras "
                        "WHERE owner = ? ORDER BY id");
        q.bind(1, user);
        while (q.next()) {
            Camera camera;
            camera.id = q.integer(0);
            camera.model = q.text(1);
            camera.serialNumber = q.text(2);
            camera.internalSerialNumber = q.text(3);
            list.push_back(camera);
        }
    }
    static const std::string sql = std::string("SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY utc_time, sync_id";
    for (Camera& camera : list) {
        Query q(*lease, sql.c_str());
        q.bind(1, camera.id);
        while (q.next())
            camera.synchronizations.push_back(readSynchronization(q));
    }
    return list;
}

int64_t Store::removeSynchronizations(int64_t user, const std::vector<std::string>& syncIds)
{
    Lease lease(*this);
    if (!lease)
        return -1;
    Transaction transaction(*lease);
    if (!transaction.active())
        return -1;
    int64_t removed = 0;
    for (const std::string& syncId : syncIds) {
        int64_t camera = 0;
        {
            Query q(*lease, "SELECT camera FROM synchronizations WHERE sync_id = ? AND camera IN "
                            "(SELECT id FROM cameras WHERE owner = ?)");
            if (q.bind(1, syncId).bind(2, user).next())
                camera = q.integer(0);
            else if (!q.ok())
                return -1;
        }
        if (camera == 0)
            continue;
        {
            Query q(*lease, "DELETE FROM synchronizations WHERE sync_id = ?");
            if (!q.bind(1, syncId).run())
                return -1;
            ++removed;
        }
        Query q(*lease, "DELETE FROM cameras WHERE id = ? AND NOT EXISTS "
                        "(SELECT 1 FROM synchronizations WHERE synchronizations.camera = cameras.id)");
        if (!q.bind(1, camera).run())
            return -1;
    }
    return transaction.commit() ? removed : -1;
}

std::string Store::deviceKey(int64_t user)
{
    Lease lease(*this);
    if (!lease)
        return std::string();
    {
        Query q(*lease, "SELECT key FROM device_keys WHERE user = ?");
        if (q.bind(1, user).next())
            return q.text(0);
    }
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::string();
    // Another request may have made the key meanwhile; that one stays.
    Query q(*lease, "INSERT OR IGNORE INTO device_keys (key, user) SELECT ?, id FROM users WHERE id = ?");
    if (!q.bind(1, randomHex(16)).bind(2, user).run() || !transaction.commit())
        return std::string();
    Query read(*lease, "SELECT key FROM device_keys WHERE user = ?");
    return read.bind(1, user).next() ? read.text(0) : std::string();
}

std::optional<User> Store::userByDeviceKey(const std::string& key)
{
    if (key.empty())
        return std::nullopt;
    return firstRow(*this,
                    "SELECT id, user_id, phone_name, phone_key FROM users "
                    "WHERE id = (SELECT user FROM device_keys WHERE key = ?)",
                    readUser, key);
}

FixSummary Store::fixSummary(int64_t user, int64_t since)
{
    FixSummary summary;
    Lease lease(*this);
    if (!lease)
        return summary;
    Query q(*lease, "SELECT count(*), max(time) FROM fixes WHERE user = ? AND time >= ?");
    if (q.bind(1, user).bind(2, since).next()) {
        summary.count = q.integer(0);
        if (summary.count > 0)
            summary.last = q.integer(1);
    }
    return summary;
}

} // namespace service
