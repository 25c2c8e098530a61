// The fixes of a user: storing them, and reading the ones around a moment.

#include "service/storerows.h"

#include <unordered_map>

namespace service {

namespace {

// The INSERT of `rows` fixes; orIgnore keeps a fix already stored at the same
// time, otherwise the new one replaces it.
std::string insertSql(size_t rows, bool orIgnore)
{
    std::string sql = "INSERT INTO fixes (\"user\", time, latitude, longitude, altitude, accuracy, zone) VALUES ";
    for (size_t i = 0; i < rows; ++i)
        sql += i == 0 ? "(?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?)";
    sql += orIgnore ? " ON CONFLICT DO NOTHING"
                    : " ON CONFLICT (\"user\", time) DO UPDATE SET latitude = excluded.latitude, "
                      "longitude = excluded.longitude, altitude = excluded.altitude, accuracy = excluded.accuracy, "
                      "zone = excluded.zone";
    return sql;
}

// Fixes go in statements of these many rows, the largest that fit first.
constexpr size_t rowsPerStatement[] = { 64, 16, 4, 1 };

// One fix for each time: the first of a time when orIgnore, else the last.
std::vector<const Fix*> oneAtATime(const std::vector<Fix>& fixes, bool orIgnore)
{
    std::vector<const Fix*> kept;
    kept.reserve(fixes.size());
    std::unordered_map<int64_t, size_t> at;
    for (const Fix& fix : fixes) {
        const auto [found, added] = at.emplace(fix.time, kept.size());
        if (added)
            kept.push_back(&fix);
        else if (!orIgnore)
            kept[found->second] = &fix;
    }
    return kept;
}

// Stores fixes in one transaction. The number of rows written, nothing on
// failure (then nothing was stored).
std::optional<int64_t> insertFixes(Connection& connection, int64_t user, const std::vector<const Fix*>& fixes,
                                   bool orIgnore)
{
    static const std::vector<std::string> statements[2] = {
        { insertSql(64, false), insertSql(16, false), insertSql(4, false), insertSql(1, false) },
        { insertSql(64, true), insertSql(16, true), insertSql(4, true), insertSql(1, true) },
    };
    Transaction transaction(connection);
    if (!transaction.active())
        return std::nullopt;
    int64_t written = 0;
    size_t next = 0;
    for (size_t shape = 0; shape < 4; ++shape) {
        const size_t rows = rowsPerStatement[shape];
        for (; fixes.size() - next >= rows; next += rows) {
            Query q(connection, statements[orIgnore][shape].c_str());
            for (size_t i = 0; i < rows; ++i) {
                const Fix& fix = *fixes[next + i];
                const int base = static_cast<int>(7 * i);
                q.bind(base + 1, user).bind(base + 2, fix.time).bind(base + 3, fix.latitude)
                    .bind(base + 4, fix.longitude).bind(base + 5, fix.altitude).bind(base + 6, fix.accuracy)
                    .bind(base + 7, fix.zoneId);
            }
            if (!q.run())
                return std::nullopt;
            written += connection.changes();
        }
    }
    if (!transaction.commit())
        return std::nullopt;
    return written;
}

} // namespace

std::optional<int64_t> Store::addFixes(int64_t user, const std::vector<Fix>& fixes)
{
    const auto kept = oneAtATime(fixes, false);
    const auto stored = retrying(*this, Lease::write,
                                 [&](Connection& connection) { return insertFixes(connection, user, kept, false); });
    if (!stored)
        return std::nullopt;
    return static_cast<int64_t>(fixes.size());
}

std::optional<int64_t> Store::addNewFixes(int64_t user, const std::vector<Fix>& fixes)
{
    const auto kept = oneAtATime(fixes, true);
    return retrying(*this, Lease::write,
                    [&](Connection& connection) { return insertFixes(connection, user, kept, true); });
}

std::optional<int64_t> Store::fixCount(int64_t user)
{
    return firstRow(*this, "SELECT count(*) FROM fixes WHERE \"user\" = ?", [](const Query& q) { return q.integer(0); },
                    user);
}

std::optional<FixSummary> Store::fixSummary(int64_t user, int64_t since)
{
    return firstRow(
        *this, "SELECT count(*), max(time) FROM fixes WHERE \"user\" = ? AND time >= ?",
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
                    "WHERE \"user\" = ? AND time <= ? ORDER BY time DESC LIMIT 1",
                    readFix, user, time);
}

std::optional<Fix> Store::fixAtOrAfter(int64_t user, int64_t time)
{
    return firstRow(*this,
                    "SELECT time, latitude, longitude, altitude, accuracy, zone FROM fixes "
                    "WHERE \"user\" = ? AND time >= ? ORDER BY time ASC LIMIT 1",
                    readFix, user, time);
}

} // namespace service
