#include "service/store.h"
#include "service/storesql.h"

#include <optional>

namespace service {

namespace {

// Each entry moves the schema one version up; a database is migrated by
// running the entries past its user_version, all in one transaction.
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
    // 4: when users were made for requests without credentials, by client address
    "CREATE TABLE new_users ("
    "  address TEXT NOT NULL,"
    "  time INTEGER NOT NULL);"
    "CREATE INDEX new_users_address ON new_users(address, time);"
    "CREATE INDEX new_users_time ON new_users(time);",
    // 5: demo users, whose made-up positions stay out of a person's history.
    // The demo command has always named its phone so; a person names theirs
    // on the phone page.
    "ALTER TABLE users ADD COLUMN demo INTEGER NOT NULL DEFAULT 0;"
    "UPDATE users SET demo = 1 WHERE phone_name = 'Demo phone';",
    // 6: fixes refused from tracker apps, counted a minute at a time in the
    // database, so that every instance of the service and every restart
    // tells the same counts
    "CREATE TABLE fix_refusals ("
    "  user INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,"
    "  minute INTEGER NOT NULL,"
    "  count INTEGER NOT NULL,"
    "  reason TEXT NOT NULL,"
    "  PRIMARY KEY (user, minute)) WITHOUT ROWID;",
    // 7: new users' rows named by an id of their own, as RETURNING gives it
    "CREATE TABLE new_users_numbered ("
    "  id INTEGER PRIMARY KEY,"
    "  address TEXT NOT NULL,"
    "  time INTEGER NOT NULL);"
    "INSERT INTO new_users_numbered (id, address, time) SELECT rowid, address, time FROM new_users;"
    "DROP TABLE new_users;"
    "ALTER TABLE new_users_numbered RENAME TO new_users;"
    "CREATE INDEX new_users_address ON new_users(address, time);"
    "CREATE INDEX new_users_time ON new_users(time);",
};

constexpr int migrationCount = sizeof migrations / sizeof migrations[0];

} // namespace

int sqliteSchemaVersion()
{
    return migrationCount;
}

bool migrateSqlite(Connection& connection, const std::string& name, std::string* error)
{
    Transaction transaction(connection);
    std::optional<int> version;
    if (transaction.active()) {
        Query q(connection, "PRAGMA user_version");
        if (q.next())
            version = static_cast<int>(q.integer(0));
    }
    if (!version || *version < 0) {
        *error = "cannot read the schema version of " + name;
        return false;
    }
    if (*version > migrationCount) {
        *error = name + " has schema version " + std::to_string(*version) + ", newer than this program's "
            + std::to_string(migrationCount);
        return false;
    }
    for (int step = *version; step < migrationCount; ++step) {
        if (!connection.exec(migrations[step])) {
            *error = "cannot migrate " + name + " to schema version " + std::to_string(step + 1) + ": "
                + connection.lastError();
            return false;
        }
    }
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(migrationCount);
    if (!connection.exec(setVersion.c_str()) || !transaction.commit()) {
        *error = "cannot migrate " + name + ": " + connection.lastError();
        return false;
    }
    return true;
}

} // namespace service
