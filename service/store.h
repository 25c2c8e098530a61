#pragma once

#include "service/timegeo.h"
#include "service/trackthin.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace service {

struct User {
    int64_t id = 0;          // row id
    std::string userId;      // what the desktop sends as "userID"
    std::string phoneName;
    std::string phoneKey;    // the phone's secret for its own endpoints
    bool demo = false;       // made by "kestrel-service demo"
};

struct SyncCode {
    std::string code;
    int64_t owner = 0;
    int64_t created = 0; // UTC ms
    bool granted = false; // it has handed out its owner's identifier
};

struct Synchronization {
    std::string syncId;
    std::string code;
    int64_t clockOffset = 0; // camera wall clock minus true UTC, ms
    int64_t cameraTime = 0;  // the camera's reading at the moment of synchronizing
    int64_t utcTime = 0;     // the true moment of synchronizing
    std::string zoneId;
    std::string zoneOffset;
    std::string zoneName;
    std::string localTime;
};

// A camera's synchronizations read at most for one photo.
constexpr int maxSynchronizationsRead = 10000;

struct Camera {
    int64_t id = 0;
    std::string model;
    std::string serialNumber;
    std::string internalSerialNumber;
    std::vector<Synchronization> synchronizations;
};

// How many fixes a user has since a moment, and the time of the last one.
struct FixSummary {
    int64_t count = 0;
    std::optional<int64_t> last;
};

// Fixes refused for a user since a moment: how many, and the reason of the
// last refusal and when it came (to the minute).
struct Refusals {
    int64_t count = 0;
    int64_t last = 0;
    std::string reason;
};

// How long refusals are kept: long enough for the phone page's day.
constexpr int64_t refusalsKeptMs = 48LL * 3600 * 1000;

// The fixes of a span as getTrack reads them (Store::trackPoints).
struct TrackSpan {
    std::vector<TrackPoint> points; // time ascending
    int64_t total = 0;              // the fixes in the span, read or not
    int64_t stride = 1;             // of how many fixes one was read
};

// The outcome of asking for one more new user for a client address.
struct NewUserClaim {
    int64_t row = 0;     // granted: the row that counts it; 0 when refused
    int64_t retryAt = 0; // refused: when the address may have one again
};

class Connection;
class ConnectionPool;

// The service's database: one SQLite file in WAL mode, or a PostgreSQL
// database that any number of instances of the service share, with streaming
// replicas that may serve reads. Every operation takes a connection of its
// own from a pool, so the store may be used from many threads at once; one
// whose link to PostgreSQL broke before it could commit runs once more on a
// new connection. A failure of the database comes back as false or as an
// empty optional, with the database's reason in the log; nothing throws.
class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // At most this many connections to each PostgreSQL database at once (set
    // before open).
    void setConnectionLimit(int limit) { connectionLimit_ = limit > 0 ? limit : 1; }
    // Opens (creating it when missing) and migrates the database: the path of
    // a SQLite file, or a PostgreSQL connection string (a postgresql:// URL or
    // libpq keywords; libpq finds a password left out in PGPASSWORD or
    // ~/.pgpass). ":memory:" is not supported (each connection would see its
    // own).
    bool open(const std::string& database, std::string* error = nullptr);
    // A streaming replica of the PostgreSQL database, for Reading::replica.
    bool addReplica(const std::string& database, std::string* error = nullptr);
    // The database as opened, and as it may be shown (without a password).
    const std::string& database() const { return database_; }
    std::string name() const;
    // A database as it may be shown: without a password.
    static std::string shownDatabase(const std::string& database);
    bool postgres() const { return postgres_; }
    static int schemaVersion();

    // While one lives, the reads of this thread on the store share one
    // connection and one read transaction: a request sees one state of the
    // database and takes its locks once instead of once per query. Only for
    // requests that read; writes still take connections of their own. With
    // `replica`, the reads go to a replica that has replayed everything the
    // primary had committed when the Reading began, if there is one.
    class Reading {
    public:
        enum From { primary, replica };
        explicit Reading(Store& store, From from = primary);
        ~Reading();
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

    private:
        std::unique_ptr<Connection> replicaConnection();

        Store& store_;
        ConnectionPool* pool_ = nullptr;
        std::unique_ptr<Connection> connection_;
        Store* outerStore_ = nullptr;
        Connection* outerConnection_ = nullptr;
    };

    // A new user; a demo user's positions are made up and never move to
    // another account.
    std::optional<User> createUser(const std::string& phoneName, bool demo = false);
    // The user with this identifier; nothing when there is none (or the
    // database fails), as for the next three.
    std::optional<User> userById(const std::string& userId);
    std::optional<User> userByRow(int64_t id);
    std::optional<int64_t> userCount();
    // Every user, oldest first.
    std::optional<std::vector<User>> users();
    // Merges the account `from` into `into` in one transaction, so that one
    // person's desktop and phone share one history: the fixes move (at a time
    // `into` has a fix already, its own stays), unless `from` is a demo
    // account; the cameras move, and a camera both have keeps one row with
    // the synchronizations of both. Then `from` goes with its codes and
    // device key, and its identifier is unknown. False, with nothing
    // changed, when the database fails or `from` is `into` or unknown.
    bool mergeUser(int64_t from, int64_t into);

    // Stores fixes (replacing a fix of the same user at the same time) in one
    // transaction: the number stored, or nothing when nothing was stored.
    std::optional<int64_t> addFixes(int64_t user, const std::vector<Fix>& fixes);
    // Stores the fixes whose time the user has no fix at yet, keeping the
    // stored ones, in one transaction: the number newly stored, or nothing
    // when the database failed (then nothing was stored). The same fix sent
    // twice is stored once.
    std::optional<int64_t> addNewFixes(int64_t user, const std::vector<Fix>& fixes);
    std::optional<int64_t> fixCount(int64_t user);
    std::optional<FixSummary> fixSummary(int64_t user, int64_t since);
    // Counts `count` fixes refused for the user at `now` for `reason`, in the
    // row of that minute (one statement, whatever other instances do), and
    // forgets the user's refusals older than refusalsKeptMs.
    bool addRefusals(int64_t user, int64_t now, int64_t count, const std::string& reason);
    std::optional<Refusals> refusalsSince(int64_t user, int64_t since);

    // The key with which tracker apps deliver the user's fixes, made from the
    // system's cryptographic random source on first use.
    std::optional<std::string> deviceKey(int64_t user);
    std::optional<User> userByDeviceKey(const std::string& key);
    std::optional<Fix> fixAtOrBefore(int64_t user, int64_t time);
    std::optional<Fix> fixAtOrAfter(int64_t user, int64_t time);
    // The user's fixes from `from` to `to`, both included, as track points in
    // one read. Of `limit` (at least 3) or more, evenly spaced ones: every
    // stride-th from the first, the stride the least power of two that reads
    // fewer than `limit`, and the last one. So a read holds at most `limit`
    // points (16 bytes each) whatever the span holds. Nothing when the
    // database fails.
    std::optional<TrackSpan> trackPoints(int64_t user, int64_t from, int64_t to, size_t limit);

    std::optional<SyncCode> createSyncCode(int64_t owner, int64_t now);
    std::optional<SyncCode> syncCode(const std::string& code);
    // Marks the code as having handed out its owner's identifier; true only
    // the first time. Codes are kept: their owner may use one for a camera's
    // clock long after it was shown.
    bool grantSyncCode(const std::string& code);

    // The camera of a user with this model and identifying serial (the serial
    // number, or the internal one when that is empty).
    std::optional<Camera> findCamera(int64_t user, const std::string& model, const std::string& identity);
    // Records a synchronization, creating the camera when needed; a second
    // synchronization of the same camera with the same code replaces the first.
    std::optional<Synchronization> addSynchronization(int64_t user, const std::string& model,
                                                      const std::string& serialNumber,
                                                      const std::string& internalSerialNumber,
                                                      const Synchronization& sync);
    // The camera's synchronizations in the order they were made (the last
    // maxSynchronizationsRead of them); empty when it has none.
    std::optional<std::vector<Synchronization>> synchronizations(int64_t camera);
    // The user's cameras with their synchronizations, oldest first.
    std::optional<std::vector<Camera>> cameras(int64_t user);
    // Removes the synchronizations with these ids of the user's cameras and
    // every camera left without one: the number removed, nothing when the
    // database failed (then nothing was removed).
    std::optional<int64_t> removeSynchronizations(int64_t user, const std::vector<std::string>& syncIds);

    // Counts a new user for the client `address` at `now`, unless `limit`
    // were counted for it within the `windowMs` before; rows older than that
    // are removed, of every address. Nothing when the database fails.
    std::optional<NewUserClaim> claimNewUser(const std::string& address, int64_t now, int64_t windowMs, int limit);
    // Takes back a granted claim of which no user came.
    bool releaseNewUser(int64_t row);

private:
    friend class Lease;
    std::unique_ptr<Connection> acquire();
    void release(std::unique_ptr<Connection> connection);

    std::string database_;
    bool postgres_ = false;
    int connectionLimit_ = 16;
    std::mutex writer_; // one SQLite writer at a time
    std::unique_ptr<ConnectionPool> primary_;
    std::vector<std::unique_ptr<ConnectionPool>> replicas_;
    std::atomic<size_t> nextReplica_ { 0 };
};

// A random identifier of `bytes` bytes from the operating system's
// cryptographic source, as lower-case hex; nothing, with the reason in
// `error`, when the system has no such source.
std::optional<std::string> randomHex(int bytes, std::string* error = nullptr);

} // namespace service
