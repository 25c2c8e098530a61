#include "service/store.h"

#include "service/storepool.h"
#include "service/storerows.h"
#include "service/text.h"

#include <QDebug>

#include <sys/random.h>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace service {

const char* const userColumns = "id, user_id, phone_name, phone_key, demo";
const char* const synchronizationColumns =
    "sync_id, code, clock_offset, camera_time, utc_time, zone_id, zone_offset, zone_name, local_time";

User readUser(const Query& q)
{
    User user;
    user.id = q.integer(0);
    user.userId = q.text(1);
    user.phoneName = q.text(2);
    user.phoneKey = q.text(3);
    user.demo = q.integer(4) != 0;
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

Camera readCamera(const Query& q)
{
    Camera camera;
    camera.id = q.integer(0);
    camera.model = q.text(1);
    camera.serialNumber = q.text(2);
    camera.internalSerialNumber = q.text(3);
    return camera;
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

std::optional<std::string> newKey(int bytes)
{
    std::string error;
    auto key = randomHex(bytes, &error);
    if (!key)
        qWarning() << "store:" << error.c_str();
    return key;
}

int64_t lockKey(const std::string& kind, const std::string& value)
{
    const std::string key = kind + ':' + value;
    return static_cast<int64_t>(fnv1a(key.data(), key.size()));
}

std::optional<std::string> randomHex(int bytes, std::string* error)
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
            if (error)
                *error = std::string("no cryptographic random source: ") + strerror(errno);
            return std::nullopt;
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

namespace {

// The store and connection of this thread's Store::Reading, if one lives.
thread_local Store* readingStore = nullptr;
thread_local Connection* readingConnection = nullptr;

} // namespace

Lease::Lease(Store& store, Use use) : store_(store)
{
    if (use == read && readingStore == &store) {
        connection_ = readingConnection;
        return;
    }
    owned_ = store.acquire();
    connection_ = owned_.get();
}

Lease::~Lease()
{
    if (owned_)
        store_.release(std::move(owned_));
}

Store::Store() = default;
Store::~Store() = default;

Store::Reading::Reading(Store& store, From from)
    : store_(store)
    , outerStore_(readingStore)
    , outerConnection_(readingConnection)
{
    if (!store.primary_)
        return;
    if (from == replica && !store.replicas_.empty())
        connection_ = replicaConnection();
    // A connection that broke while idle is found out at BEGIN: one more try.
    for (int attempt = 0; !connection_ && attempt < 2; ++attempt) {
        pool_ = store.primary_.get();
        connection_ = pool_->acquire();
        if (connection_ && !connection_->begin(Connection::Begin::read))
            pool_->release(std::move(connection_));
    }
    // Without a connection the reads fall back to one connection each, as
    // they would without this.
    if (connection_) {
        readingStore = &store;
        readingConnection = connection_.get();
    }
}

std::unique_ptr<Connection> Store::Reading::replicaConnection()
{
    std::optional<std::string> position = firstRow(store_, "SELECT CAST(pg_current_wal_lsn() AS TEXT)",
                                                   [](const Query& q) { return q.text(0); });
    if (!position)
        return nullptr;
    pool_ = store_.replicas_[store_.nextReplica_++ % store_.replicas_.size()].get();
    // All of its connections busy, or the replica unreachable: the primary
    // serves, and an unreachable replica is told in the log once a minute.
    std::string error;
    auto connection = pool_->acquire(&error, 0);
    if (!connection && pool_->open() == 0) {
        static std::atomic<int64_t> lastTold { 0 };
        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        int64_t told = lastTold.load();
        if (now - told >= 60 && lastTold.compare_exchange_strong(told, now))
            qWarning() << "database: replica:" << error.c_str();
    }
    if (!connection || !connection->begin(Connection::Begin::read)) {
        pool_->release(std::move(connection));
        return nullptr;
    }
    // The snapshot of the read transaction is taken here: when the replica
    // has replayed the primary's position, it holds every commit before it.
    bool current = false;
    {
        Query q(*connection, "SELECT CASE WHEN pg_last_wal_replay_lsn() >= CAST(? AS pg_lsn) THEN 1 ELSE 0 END");
        current = q.bind(1, *position).next() && q.integer(0) == 1;
    }
    if (!current) {
        connection->rollback();
        pool_->release(std::move(connection));
        return nullptr;
    }
    return connection;
}

Store::Reading::~Reading()
{
    readingStore = outerStore_;
    readingConnection = outerConnection_;
    if (!connection_)
        return;
    if (!connection_->lost() && !connection_->commit())
        connection_->rollback();
    pool_->release(std::move(connection_));
}

bool Store::open(const std::string& database, std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (database.empty() || database == ":memory:") {
        *error = "the database must be a file or a PostgreSQL database";
        return false;
    }
    database_ = database;
    postgres_ = isPostgresDatabase(database);
    const auto limit = static_cast<size_t>(connectionLimit_);
    primary_ = std::make_unique<ConnectionPool>(database, postgres_, &writer_, postgres_ ? limit : 0,
                                                postgres_ ? limit : 16);
    auto connection = primary_->acquire(error);
    if (!connection)
        return false;
    if (!postgres_ && !connection->exec("PRAGMA journal_mode = WAL")) {
        // A file that is not a database shows itself at the first read.
        *error = database + " is not a database of this service (" + connection->lastError() + ")";
        return false;
    }
    if (postgres_ ? !migratePostgres(*connection, name(), error) : !migrateSqlite(*connection, name(), error))
        return false;
    primary_->release(std::move(connection));
    return true;
}

bool Store::addReplica(const std::string& database, std::string* error)
{
    std::string ignored;
    if (!error)
        error = &ignored;
    if (!postgres_ || !isPostgresDatabase(database)) {
        *error = "only a PostgreSQL database can have replicas";
        return false;
    }
    const auto limit = static_cast<size_t>(connectionLimit_);
    auto pool = std::make_unique<ConnectionPool>(database, true, nullptr, limit, limit);
    auto connection = pool->acquire(error);
    if (!connection)
        return false;
    pool->release(std::move(connection));
    replicas_.push_back(std::move(pool));
    return true;
}

std::string Store::name() const
{
    return withoutPassword(database_);
}

std::string Store::shownDatabase(const std::string& database)
{
    return withoutPassword(database);
}

int Store::schemaVersion()
{
    return sqliteSchemaVersion();
}

std::unique_ptr<Connection> Store::acquire()
{
    return primary_ ? primary_->acquire() : nullptr;
}

void Store::release(std::unique_ptr<Connection> connection)
{
    primary_->release(std::move(connection));
}

std::optional<User> Store::createUser(const std::string& phoneName, bool demo)
{
    const auto userId = newKey(16);
    const auto phoneKey = newKey(16);
    if (!userId || !phoneKey)
        return std::nullopt;
    const int64_t created = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    return retrying(*this, Lease::write, [&](Connection& connection) -> std::optional<User> {
        User user { 0, *userId, phoneName, *phoneKey, demo };
        Transaction transaction(connection);
        Query q(connection, "INSERT INTO users (user_id, phone_name, phone_key, demo, created) "
                            "VALUES (?, ?, ?, ?, ?) RETURNING id");
        if (!transaction.active()
            || !q.bind(1, user.userId).bind(2, user.phoneName).bind(3, user.phoneKey).bind(4, int64_t(demo))
                    .bind(5, created).next())
            return std::nullopt;
        user.id = q.integer(0);
        if (!q.finish() || !transaction.commit())
            return std::nullopt;
        return user;
    });
}

std::optional<User> Store::userById(const std::string& userId)
{
    if (userId.empty())
        return std::nullopt;
    return firstRow(*this, "SELECT id, user_id, phone_name, phone_key, demo FROM users WHERE user_id = ?", readUser,
                    userId);
}

std::optional<User> Store::userByRow(int64_t id)
{
    return firstRow(*this, "SELECT id, user_id, phone_name, phone_key, demo FROM users WHERE id = ?", readUser, id);
}

std::optional<int64_t> Store::userCount()
{
    return firstRow(*this, "SELECT count(*) FROM users", [](const Query& q) { return q.integer(0); });
}

std::optional<std::vector<User>> Store::users()
{
    return retrying(*this, Lease::read, [&](Connection& connection) {
        Query q(connection, "SELECT id, user_id, phone_name, phone_key, demo FROM users ORDER BY id");
        return allRows(q, readUser);
    });
}

std::optional<std::string> Store::deviceKey(int64_t user)
{
    const auto existing = firstRow(*this, "SELECT key FROM device_keys WHERE \"user\" = ?",
                                   [](const Query& q) { return q.text(0); }, user);
    if (existing)
        return existing;
    const auto key = newKey(16);
    if (!key)
        return std::nullopt;
    // Another request may have made the key meanwhile; that one stays. Read
    // back on the connection that wrote it, which sees it whatever this
    // thread's Reading began with.
    return retrying(*this, Lease::write, [&](Connection& connection) -> std::optional<std::string> {
        Transaction transaction(connection);
        Query insert(connection, "INSERT INTO device_keys (key, \"user\") SELECT ?, id FROM users WHERE id = ? "
                                 "ON CONFLICT DO NOTHING");
        if (!transaction.active() || !insert.bind(1, *key).bind(2, user).run())
            return std::nullopt;
        std::optional<std::string> stored;
        {
            Query read(connection, "SELECT key FROM device_keys WHERE \"user\" = ?");
            if (read.bind(1, user).next())
                stored = read.text(0);
            if (!read.finish())
                return std::nullopt;
        }
        if (!stored || !transaction.commit())
            return std::nullopt;
        return stored;
    });
}

std::optional<User> Store::userByDeviceKey(const std::string& key)
{
    if (key.empty())
        return std::nullopt;
    return firstRow(*this,
                    "SELECT id, user_id, phone_name, phone_key, demo FROM users "
                    "WHERE id = (SELECT \"user\" FROM device_keys WHERE key = ?)",
                    readUser, key);
}

std::optional<SyncCode> Store::createSyncCode(int64_t owner, int64_t now)
{
    const auto key = newKey(8);
    if (!key)
        return std::nullopt;
    const bool stored = retrying(*this, Lease::write, [&](Connection& connection) {
        Transaction transaction(connection);
        Query q(connection, "INSERT INTO sync_codes (code, owner, created) VALUES (?, ?, ?)");
        return transaction.active() && q.bind(1, *key).bind(2, owner).bind(3, now).run() && transaction.commit();
    });
    if (!stored)
        return std::nullopt;
    return SyncCode { *key, owner, now };
}

std::optional<SyncCode> Store::syncCode(const std::string& code)
{
    return firstRow(
        *this, "SELECT code, owner, created, granted FROM sync_codes WHERE code = ?",
        [](const Query& q) { return SyncCode { q.text(0), q.integer(1), q.integer(2), q.integer(3) != 0 }; }, code);
}

bool Store::grantSyncCode(const std::string& code)
{
    // One statement: of two instances granting the code at once, one changes the row.
    return retrying(*this, Lease::write, [&](Connection& connection) {
        Transaction transaction(connection);
        Query q(connection, "UPDATE sync_codes SET granted = 1 WHERE code = ? AND granted = 0");
        return transaction.active() && q.bind(1, code).run() && connection.changes() == 1 && transaction.commit();
    });
}

std::optional<NewUserClaim> Store::claimNewUser(const std::string& address, int64_t now, int64_t windowMs, int limit)
{
    const int64_t since = now - windowMs;
    return retrying(*this, Lease::write, [&](Connection& connection) -> std::optional<NewUserClaim> {
        Transaction transaction(connection);
        // Claims for one address take turns, on every instance.
        if (!transaction.lock(lockKey("new-user", address)))
            return std::nullopt;
        Query prune(connection, "DELETE FROM new_users WHERE time <= ?");
        if (!prune.bind(1, since).run())
            return std::nullopt;
        Query counted(connection, "SELECT count(*), min(time) FROM new_users WHERE address = ? AND time > ?");
        if (!counted.bind(1, address).bind(2, since).next())
            return std::nullopt;
        NewUserClaim claim;
        if (counted.integer(0) >= limit) {
            claim.retryAt = counted.integer(1) + windowMs;
        } else {
            Query insert(connection, "INSERT INTO new_users (address, time) VALUES (?, ?) RETURNING id");
            if (!insert.bind(1, address).bind(2, now).next())
                return std::nullopt;
            claim.row = insert.integer(0);
            if (!insert.finish())
                return std::nullopt;
        }
        if (!transaction.commit())
            return std::nullopt;
        return claim;
    });
}

bool Store::releaseNewUser(int64_t row)
{
    return retrying(*this, Lease::write, [&](Connection& connection) {
        Query q(connection, "DELETE FROM new_users WHERE id = ?");
        return q.bind(1, row).run();
    });
}

} // namespace service
