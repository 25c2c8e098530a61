#include "service/store.h"

#include "service/storesql.h"

#include <QDebug>

#include <sys/random.h>
#include <cerrno>
#include <cstring>

namespace service {

namespace {

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

const char* const synchronizationColumns =
    "sync_id, code, clock_offset, camera_time, utc_time, zone_id, zone_offset, zone_name, local_time";

// Every row left of a bound query, as `read` reads it; nothing when the query fails.
template <typename Read>
auto allRows(Query& q, Read read) -> std::optional<std::vector<decltype(read(std::declval<const Query&>()))>>
{
    std::vector<decltype(read(std::declval<const Query&>()))> list;
    while (q.next())
        list.push_back(read(q));
    if (!q.ok())
        return std::nullopt;
    return list;
}

// A new key for a row; nothing, with the reason in the log, without a random source.
std::optional<std::string> newKey(int bytes)
{
    std::string error;
    auto key = randomHex(bytes, &error);
    if (!key)
        qWarning() << "store:" << error.c_str();
    return key;
}

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

// Stores fixes in one transaction; orIgnore keeps a fix already stored at the
// same time, otherwise the new one replaces it. The number of rows written,
// nothing on failure (then nothing was stored).
std::optional<int64_t> insertFixes(Lease& lease, int64_t user, const std::vector<Fix>& fixes, bool orIgnore)
{
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
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
            return std::nullopt;
        written += (*lease).changes();
    }
    if (!transaction.commit())
        return std::nullopt;
    return written;
}

} // namespace

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

Lease::Lease(Store& store) : store_(store), connection_(store.acquire()) {}

Lease::~Lease()
{
    if (connection_)
        store_.release(std::move(connection_));
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
    auto connection = Connection::open(path, &writer_, error);
    if (!connection)
        return false;
    // A file that is not a database shows itself at the first read.
    if (!connection->exec("PRAGMA journal_mode = WAL")) {
        *error = path + " is not a database of this service (" + connection->lastError() + ")";
        return false;
    }
    if (!migrate(*connection, path, error))
        return false;
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
    auto connection = Connection::open(path_, &writer_, &error);
    if (!connection)
        qWarning() << "database:" << error.c_str();
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

std::optional<User> Store::createUser(const std::string& phoneName, bool demo)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    const auto userId = newKey(16);
    const auto phoneKey = newKey(16);
    if (!userId || !phoneKey)
        return std::nullopt;
    User user;
    user.userId = *userId;
    user.phoneName = phoneName;
    user.phoneKey = *phoneKey;
    user.demo = demo;
    Query q(*lease, "INSERT INTO users (user_id, phone_name, phone_key, demo, created) VALUES (?, ?, ?, ?, "
                    "CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER))");
    if (!q.bind(1, user.userId).bind(2, user.phoneName).bind(3, user.phoneKey).bind(4, int64_t(demo)).run())
        return std::nullopt;
    user.id = (*lease).lastInsertRow();
    if (!transaction.commit())
        return std::nullopt;
    return user;
}

std::optional<User> Store::userById(const std::string& userId)
{
    if (userId.empty())
        return std::nullopt;
    return firstRow(*this, "SELECT id, user_id, phone_name, phone_key, demo FROM users WHERE user_id = ?", readUser, userId);
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
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Query q(*lease, "SELECT id, user_id, phone_name, phone_key, demo FROM users ORDER BY id");
    return allRows(q, readUser);
}

std::optional<int64_t> Store::addFixes(int64_t user, const std::vector<Fix>& fixes)
{
    Lease lease(*this);
    if (!insertFixes(lease, user, fixes, false))
        return std::nullopt;
    return static_cast<int64_t>(fixes.size());
}

std::optional<int64_t> Store::addNewFixes(int64_t user, const std::vector<Fix>& fixes)
{
    Lease lease(*this);
    return insertFixes(lease, user, fixes, true);
}

std::optional<int64_t> Store::fixCount(int64_t user)
{
    return firstRow(*this, "SELECT count(*) FROM fixes WHERE user = ?", [](const Query& q) { return q.integer(0); },
                    user);
}

std::optional<FixSummary> Store::fixSummary(int64_t user, int64_t since)
{
    return firstRow(
        *this, "SELECT count(*), max(time) FROM fixes WHERE user = ? AND time >= ?",
        [](const Query& q) {
            FixSummary summary;
            summary.count = q.integer(0);
            if (summary.count > 0)
                summary.last = q.integer(1);
            return summary;
        },
        user, since);
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

std::optional<std::string> Store::deviceKey(int64_t user)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    {
        Query q(*lease, "SELECT key FROM device_keys WHERE user = ?");
        if (q.bind(1, user).next())
            return q.text(0);
    }
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    const auto key = newKey(16);
    // Another request may have made the key meanwhile; that one stays.
    Query q(*lease, "INSERT OR IGNORE INTO device_keys (key, user) SELECT ?, id FROM users WHERE id = ?");
    if (!key || !q.bind(1, *key).bind(2, user).run() || !transaction.commit())
        return std::nullopt;
    Query read(*lease, "SELECT key FROM device_keys WHERE user = ?");
    if (!read.bind(1, user).next())
        return std::nullopt;
    return read.text(0);
}

std::optional<User> Store::userByDeviceKey(const std::string& key)
{
    if (key.empty())
        return std::nullopt;
    return firstRow(*this,
                    "SELECT id, user_id, phone_name, phone_key, demo FROM users "
                    "WHERE id = (SELECT user FROM device_keys WHERE key = ?)",
                    readUser, key);
}

std::optional<SyncCode> Store::createSyncCode(int64_t owner, int64_t now)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    const auto key = newKey(8);
    if (!key)
        return std::nullopt;
    SyncCode code { *key, owner, now };
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
        *this, "SELECT code, owner, created, granted FROM sync_codes WHERE code = ?",
        [](const Query& q) { return SyncCode { q.text(0), q.integer(1), q.integer(2), q.integer(3) != 0 }; }, code);
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
    const bool granted = (*lease).changes() == 1;
    return transaction.commit() && granted;
}

std::optional<Camera> Store::findCamera(int64_t user, const std::string& model, const std::string& identity)
{
    return firstRow(*this,
                    "SELECT id, model, serial_number, internal_serial_number FROM cameras "
                    "WHERE owner = ? AND model = ? AND identity = ?",
                    readCamera, user, model, identity);
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
        camera = (*lease).lastInsertRow();
    }
    {
        Query q(*lease, "DELETE FROM synchronizations WHERE camera = ? AND code = ?");
        if (!q.bind(1, camera).bind(2, sync.code).run())
            return std::nullopt;
    }
    const auto syncId = newKey(8);
    if (!syncId)
        return std::nullopt;
    Synchronization stored = sync;
    stored.syncId = *syncId;
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

std::optional<std::vector<Synchronization>> Store::synchronizations(int64_t camera)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    static const std::string sql = std::string("SELECT * FROM (SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY utc_time DESC, sync_id DESC LIMIT "
        + std::to_string(maxSynchronizationsRead) + ") ORDER BY utc_time, sync_id";
    Query q(*lease, sql.c_str());
    q.bind(1, camera);
    return allRows(q, readSynchronization);
}

std::optional<std::vector<Camera>> Store::cameras(int64_t user)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    std::optional<std::vector<Camera>> list;
    {
        Query q(*lease, "SELECT id, model, serial_number, internal_serial_number FROM cameras "
                        "WHERE owner = ? ORDER BY id");
        q.bind(1, user);
        list = allRows(q, readCamera);
    }
    if (!list)
        return std::nullopt;
    static const std::string sql = std::string("SELECT ") + synchronizationColumns
        + " FROM synchronizations WHERE camera = ? ORDER BY utc_time, sync_id";
    for (Camera& camera : *list) {
        Query q(*lease, sql.c_str());
        q.bind(1, camera.id);
        auto synchronizations = allRows(q, readSynchronization);
        if (!synchronizations)
            return std::nullopt;
        camera.synchronizations = std::move(*synchronizations);
    }
    return list;
}

std::optional<int64_t> Store::removeSynchronizations(int64_t user, const std::vector<std::string>& syncIds)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    if (!transaction.active())
        return std::nullopt;
    int64_t removed = 0;
    for (const std::string& syncId : syncIds) {
        int64_t camera = 0;
        {
            Query q(*lease, "SELECT camera FROM synchronizations WHERE sync_id = ? AND camera IN "
                            "(SELECT id FROM cameras WHERE owner = ?)");
            if (q.bind(1, syncId).bind(2, user).next())
                camera = q.integer(0);
            else if (!q.ok())
                return std::nullopt;
        }
        if (camera == 0)
            continue;
        {
            Query q(*lease, "DELETE FROM synchronizations WHERE sync_id = ?");
            if (!q.bind(1, syncId).run())
                return std::nullopt;
            ++removed;
        }
        Query q(*lease, "DELETE FROM cameras WHERE id = ? AND NOT EXISTS "
                        "(SELECT 1 FROM synchronizations WHERE synchronizations.camera = cameras.id)");
        if (!q.bind(1, camera).run())
            return std::nullopt;
    }
    if (!transaction.commit())
        return std::nullopt;
    return removed;
}

std::optional<NewUserClaim> Store::claimNewUser(const std::string& address, int64_t now, int64_t windowMs, int limit)
{
    Lease lease(*this);
    if (!lease)
        return std::nullopt;
    Transaction transaction(*lease);
    const int64_t since = now - windowMs;
    Query prune(*lease, "DELETE FROM new_users WHERE time <= ?");
    if (!transaction.active() || !prune.bind(1, since).run())
        return std::nullopt;
    Query counted(*lease, "SELECT count(*), min(time) FROM new_users WHERE address = ? AND time > ?");
    if (!counted.bind(1, address).bind(2, since).next())
        return std::nullopt;
    NewUserClaim claim;
    if (counted.integer(0) >= limit) {
        claim.retryAt = counted.integer(1) + windowMs;
    } else {
        Query insert(*lease, "INSERT INTO new_users (address, time) VALUES (?, ?)");
        if (!insert.bind(1, address).bind(2, now).run())
            return std::nullopt;
        claim.row = (*lease).lastInsertRow();
    }
    if (!transaction.commit())
        return std::nullopt;
    return claim;
}

bool Store::releaseNewUser(int64_t row)
{
    Lease lease(*this);
    if (!lease)
        return false;
    Query q(*lease, "DELETE FROM new_users WHERE rowid = ?");
    return q.bind(1, row).run();
}

} // namespace service
